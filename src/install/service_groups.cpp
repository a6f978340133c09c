#include "install/service_groups.h"

#include "support/text.h"

namespace Transvia {

const char16_t ServiceGroupList[kServiceGroupCount][kServiceGroupWidth] = {
    u"System Reserved",
    u"Boot Bus Extende",
    u"System Bus Extender",
    u"SCSI miniport",
    u"Port",
    u"Primary Disk",
    u"SCSI Class",
    u"SCSI CDROM Class",
    u"FSFilter Infrastructure",
    u"FSFilter System",
    u"FSFilter Bottom",
    u"FSFilter Copy Protection",
    u"FSFilter Security Enhancer",
    u"FSFilter Open File",
    u"FSFilter Physical Quota Management",
    u"FSFilter Encryption",
    u"FSFilter Compression",
    u"FSFilter HSM",
    u"FSFilter Cluster File System",
    u"FSFilter System Recovery",
    u"FSFilter Quota Management",
    u"FSFilter Content Screener",
    u"FSFilter Continuous Backup",
    u"FSFilter Replication",
    u"FSFilter Anti-Virus",
    u"FSFilter Undelete",
    u"FSFilter Activity Monitor",
    u"FSFilter Top",
    u"Filter",
    u"Boot File System",
    u"Base",
    u"Pointer Port",
    u"Keyboard Port",
    u"Pointer Class",
    u"Keyboard Class",
    u"Video Init",
    u"Video",
    u"Video Save",
    u"File System",
    u"Event Log",
    u"Streams Drivers",
    u"NDIS Wrapper",
    u"COM Infrastructure",
    u"UIGroup",
    u"LocalValidation",
    u"PlugPlay",
    u"PNP_TDI",
    u"NDIS",
    u"TDI",
    u"NetBIOSGroup",
    u"ShellSvcGroup",
    u"SchedulerGroup",
    u"SpoolerGroup",
    u"AudioGroup",
    u"SmartCardGroup",
    u"NetworkProvider",
    u"RemoteValidation",
    u"NetDDEGroup",
    u"Parallel arbitrator",
    u"Extended Base",
    u"PCI Configuration",
};

bool IsListedServiceGroup(const Processor::String& group)
{
    for (const char16_t* entry : ServiceGroupList)
        if (Processor::EqualNoCase(group, Processor::String(entry)))
            return true;
    return false;
}

}  // namespace Transvia

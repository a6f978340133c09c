#include "hardware/local_detection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>

#include "hardware/device_ids.h"
#include "support/errors.h"
#include "support/message_table.h"
#include "support/open_beneath.h"
#include "support/text.h"
#include "support/trace.h"

namespace Transvia {

namespace fs = std::filesystem;

namespace {

// sysfs attributes are at most a page long.
constexpr size_t kAttributeLimit = 4096;
// The kernel never numbers processors beyond this; larger numbers mean a corrupt list.
constexpr unsigned long kCpuNumberLimit = 1u << 20;

const char* const kAcpiSystemHid = "ACPI_HAL\\PNP0C08";
const char* const kAcpiSystemCompatible = "*PNP0C08";
const char* const kProcessorHid = "ACPI0007";
// Linux's own name for processors declared with the old Processor() statement;
// Windows knows the same objects as ACPI processor devices.
const char* const kLinuxProcessorHid = "LNXCPU";

Processor::String Wide(const fs::path& path)
{
    return Processor::FromUtf8(path.string());
}

// Reads one sysfs attribute without its trailing white space; on failure returns
// nullopt and leaves the errno value in `error`. Only a regular file is opened for
// reading: a FIFO in a tree given as sysfs would block the read for ever.
std::optional<std::string> ReadAttribute(const fs::path& path, int& error)
{
    const Common::LocalFs::Fd entry(::open(path.c_str(), O_PATH | O_CLOEXEC));
    struct stat st;
    if (!entry.valid() || ::fstat(entry.get(), &st) != 0) {
        error = errno;
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return std::nullopt;
    }
    const int fd = ::open(Common::LocalFs::ProcPath(entry.get()).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return std::nullopt;
    }
    std::string value(kAttributeLimit, '\0');
    size_t used = 0;
    while (used < value.size()) {
        const ssize_t got = ::read(fd, value.data() + used, value.size() - used);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        used += static_cast<size_t>(got);
    }
    ::close(fd);
    value.resize(used);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ' || value.back() == '\t' || value.back() == '\0'))
        value.pop_back();
    return value;
}

void TracePropertyFailure(const fs::path& path, int error)
{
    Common::TraceError(3, Common::MakeError(Common::Codes::kDevicePropertyRead, TV_HERE,
                                            Common::MessageTable::Text(Common::Messages::kDevicePropertyUnreadable, {Wide(path)}),
                                            Common::SystemError(error, TV_HERE, Wide(path))));
}

// A number written by the kernel: hexadecimal with "0x" (where allowed), decimal without.
template <class T> std::optional<T> ParseNumber(std::string_view text, bool allowHex = true)
{
    int base = 10;
    if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > std::numeric_limits<T>::max())
        return std::nullopt;
    return static_cast<T>(value);
}

// Reads a numeric attribute of a device folder. A missing optional attribute is 0;
// any other failure is traced and makes the device unusable.
template <class T> bool ReadNumber(const fs::path& folder, const char* name, bool required, T& value)
{
    int error = 0;
    const fs::path path = folder / name;
    const auto text = ReadAttribute(path, error);
    if (!text) {
        if (error == ENOENT && !required) {
            value = 0;
            return true;
        }
        TracePropertyFailure(path, error);
        return false;
    }
    const auto number = ParseNumber<T>(*text);
    if (!number) {
        TracePropertyFailure(path, EINVAL);
        return false;
    }
    value = *number;
    return true;
}

// Entries of a sysfs folder in name order; a missing folder has none.
bool ListFolder(const fs::path& folder, std::vector<fs::path>& entries, std::error_code& error)
{
    entries.clear();
    error.clear();
    fs::directory_iterator it(folder, error);
    if (error)
        return false;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error)
            return false;
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());
    return true;
}

// The sysfs root must be a readable folder; otherwise detection has no source at all.
void RequireRoot(const std::string& root, uint32_t code, uint32_t message)
{
    std::error_code error;
    fs::directory_iterator probe(root, error);
    if (!error)
        return;
    Common::Raise(code, TV_HERE, Common::MessageTable::Text(message, {Processor::FromUtf8(root)}),
                  Common::SystemError(error.value(), TV_HERE, Processor::FromUtf8(root)));
}

void AppendHex(std::string& text, unsigned value, int digits)
{
    static const char kDigits[] = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        text += kDigits[(value >> shift) & 0xF];
}

std::string Hex(unsigned value, int digits)
{
    std::string text;
    AppendHex(text, value, digits);
    return text;
}

// ---- ACPI -----------------------------------------------------------------

struct AcpiObject {
    std::string hid;
    std::vector<std::string> cids;
    bool hostsStorage = false;
};

// The compatible ids from "acpi:HID:CID1:CID2:"; other buses' aliases carry none.
std::vector<std::string> CompatibleIdsFromModalias(const std::string& modalias, const std::string& hid)
{
    std::vector<std::string> cids;
    constexpr std::string_view kPrefix = "acpi:";
    if (modalias.compare(0, kPrefix.size(), kPrefix) != 0)
        return cids;
    std::string_view rest(modalias);
    rest.remove_prefix(kPrefix.size());
    bool first = true;
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string_view token = rest.substr(0, colon);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
        if (first) {  // the hardware id itself
            first = false;
            continue;
        }
        const std::string id(token);
        if (IsWellFormedId(id) && !SameId(id, hid) &&
            std::none_of(cids.begin(), cids.end(), [&](const std::string& c) { return SameId(c, id); }))
            cids.push_back(id);
    }
    return cids;
}

bool IsNumberedName(const std::string& name, std::string_view prefix)
{
    return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(name.begin() + prefix.size(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether one of the object's physical devices carries a SCSI host ("host0") or a
// libata port ("ata1"): then the object is a storage adapter of its own.
bool HostsStorage(const fs::path& object)
{
    std::vector<fs::path> links;
    std::error_code error;
    if (!ListFolder(object, links, error))
        return false;
    for (const fs::path& link : links) {
        const std::string name = link.filename().string();
        if (name != "physical_node" && !IsNumberedName(name, "physical_node"))
            continue;
        std::vector<fs::path> children;
        if (!ListFolder(link, children, error))
            continue;
        for (const fs::path& child : children) {
            const std::string childName = child.filename().string();
            if (IsNumberedName(childName, "host") || IsNumberedName(childName, "ata"))
                return true;
        }
    }
    return false;
}

// The ACPI objects with a hardware id that are present.
std::vector<AcpiObject> ReadAcpiObjects(const std::string& root, bool& acpiPresent)
{
    std::vector<AcpiObject> objects;
    std::vector<fs::path> entries;
    std::error_code error;
    acpiPresent = ListFolder(fs::path(root) / "bus/acpi/devices", entries, error) && !entries.empty();
    for (const fs::path& entry : entries) {
        int readError = 0;
        const auto hid = ReadAttribute(entry / "hid", readError);
        if (!hid) {
            // Objects with only an address belong to the bus that enumerates them.
            if (readError != ENOENT)
                TracePropertyFailure(entry / "hid", readError);
            continue;
        }
        if (!IsWellFormedId(*hid))
            continue;
        if (const auto status = ReadAttribute(entry / "status", readError)) {
            const auto value = ParseNumber<uint32_t>(*status);
            if (value && (*value & 1) == 0)  // _STA bit 0: present
                continue;
        }
        AcpiObject object;
        object.hid = *hid;
        if (const auto modalias = ReadAttribute(entry / "modalias", readError))
            object.cids = CompatibleIdsFromModalias(*modalias, object.hid);
        object.hostsStorage = HostsStorage(entry);
        objects.push_back(std::move(object));
    }
    return objects;
}

bool IsProcessor(const AcpiObject& object)
{
    return SameId(object.hid, kProcessorHid) || SameId(object.hid, kLinuxProcessorHid);
}

// Ids of the PnP ranges Windows installs as system devices: interrupt controllers,
// timers, DMA controllers, the speaker, buses, clocks and the PNP0Cxx system board
// devices (except the battery, a class of its own), and the ACPI containers, clocks
// and processor aggregators.
bool IsSystemDeviceId(const std::string& id)
{
    static const char* const kSystemRanges[] = {"PNP00", "PNP01", "PNP02", "PNP08", "PNP0A", "PNP0B", "PNP0C"};
    static const char* const kSystemIds[] = {"ACPI0004", "ACPI000C", "ACPI000E", "ACPI0010"};
    if (id.size() == 7 && !SameId(id, "PNP0C0A"))
        for (const char* range : kSystemRanges)
            if (SameId(id.substr(0, 5), range))
                return true;
    return std::any_of(std::begin(kSystemIds), std::end(kSystemIds), [&](const char* s) { return SameId(id, s); });
}

bool IsSystemDevice(const AcpiObject& object)
{
    // Linux names its namespace scopes and fixed features "LNX..."; Windows has no such devices.
    if (object.hid.compare(0, 3, "LNX") == 0)
        return false;
    return IsSystemDeviceId(object.hid) || std::any_of(object.cids.begin(), object.cids.end(), IsSystemDeviceId);
}

size_t CountProcessors(const std::vector<AcpiObject>& objects)
{
    return static_cast<size_t>(std::count_if(objects.begin(), objects.end(), IsProcessor));
}

// The kernel's count of online processors; 0 when it cannot be had.
unsigned OnlineProcessors(const std::string& root)
{
    int error = 0;
    const auto online = ReadAttribute(fs::path(root) / "devices/system/cpu/online", error);
    return online ? CountCpuList(*online) : 0;
}

bool Multiprocessor(const std::string& root, const std::vector<AcpiObject>& objects)
{
    const unsigned online = OnlineProcessors(root);
    return online > 0 ? online > 1 : CountProcessors(objects) > 1;
}

// The HAL kind of an ACPI machine: an APIC unless the firmware's table folder is
// readable and lacks the interrupt controller table.
bool HasApic(const std::string& root)
{
    std::vector<fs::path> tables;
    std::error_code error;
    if (!ListFolder(fs::path(root) / "firmware/acpi/tables", tables, error))
        return true;
    return std::any_of(tables.begin(), tables.end(), [](const fs::path& t) { return t.filename() == "APIC"; });
}

}  // namespace

DeviceIds PciIdentifiers(const PciFunction& f)
{
    const std::string ven = "PCI\\VEN_" + Hex(f.vendor, 4);
    const std::string venDev = ven + "&DEV_" + Hex(f.device, 4);
    const std::string subsys = "&SUBSYS_" + Hex(f.subsystemDevice, 4) + Hex(f.subsystemVendor, 4);
    const std::string rev = "&REV_" + Hex(f.revision, 2);
    const std::string classShort = "CC_" + Hex(f.classCode >> 8, 4);
    const std::string classFull = "CC_" + Hex(f.classCode, 6);
    return DeviceIds{
        venDev + subsys + rev,
        venDev + subsys,
        venDev + "&" + classFull,
        venDev + "&" + classShort,
        venDev + rev,
        venDev,
        ven + "&" + classFull,
        ven + "&" + classShort,
        ven,
        "PCI\\" + classFull,
        "PCI\\" + classShort,
    };
}

DeviceIds AcpiIdentifiers(const std::string& hardwareId, const std::vector<std::string>& compatibleIds)
{
    DeviceIds ids{"ACPI\\" + hardwareId, "*" + hardwareId};
    for (const std::string& id : compatibleIds) {
        ids.push_back("ACPI\\" + id);
        ids.push_back("*" + id);
    }
    return ids;
}

void DetectPciDevices(DeviceList& devices, const std::string& sysfsRoot)
{
    devices.clear();
    RequireRoot(sysfsRoot, Common::Codes::kPciDeviceSet, Common::Messages::kPciDevicesUnlisted);
    std::vector<fs::path> entries;
    std::error_code error;
    ListFolder(fs::path(sysfsRoot) / "bus/pci/devices", entries, error);  // no folder: no PCI bus
    DeviceSet set;
    for (const fs::path& entry : entries) {
        PciFunction f;
        uint32_t classCode = 0;
        if (!ReadNumber(entry, "vendor", true, f.vendor) || !ReadNumber(entry, "device", true, f.device) ||
            !ReadNumber(entry, "subsystem_vendor", false, f.subsystemVendor) ||
            !ReadNumber(entry, "subsystem_device", false, f.subsystemDevice) ||
            !ReadNumber(entry, "revision", true, f.revision) || !ReadNumber(entry, "class", true, classCode))
            continue;
        if (f.vendor == 0xFFFF || classCode > 0xFFFFFF)  // a function that has gone away
            continue;
        f.classCode = classCode;
        set.insert(PciIdentifiers(f));
    }
    set.AppendTo(devices);
}

void DetectSystemDevices(DeviceList& devices, const std::string& sysfsRoot)
{
    devices.clear();
    RequireRoot(sysfsRoot, Common::Codes::kComputerDeviceSet, Common::Messages::kComputerDevicesUnlisted);
    bool acpiPresent = false;
    const std::vector<AcpiObject> objects = ReadAcpiObjects(sysfsRoot, acpiPresent);
    if (!acpiPresent)
        return;

    const bool apic = HasApic(sysfsRoot);
    devices.push_back(apic ? DeviceIds{kHalAcpiApic} : DeviceIds{kHalAcpiPic, kHalAcpiPicUp});

    DeviceSet storage;
    DeviceSet system;
    for (const AcpiObject& object : objects) {
        if (IsProcessor(object))
            continue;
        if (object.hostsStorage)
            storage.insert(AcpiIdentifiers(object.hid, object.cids));
        else if (IsSystemDevice(object))
            system.insert(AcpiIdentifiers(object.hid, object.cids));
    }
    storage.AppendTo(devices);

    devices.push_back(DeviceIds{kAcpiSystemHid, kAcpiSystemCompatible});
    const auto hal = std::find_if(devices.begin(), devices.end(), [](const DeviceIds& device) {
        return std::any_of(device.begin(), device.end(),
                           [](const std::string& id) { return id.find(kHalAcpiApic) != std::string::npos; });
    });
    if (hal != devices.end())
        hal->push_back(Multiprocessor(sysfsRoot, objects) ? kHalAcpiApicMp : kHalAcpiApicUp);

    system.AppendTo(devices);
}

void DetectProcessorDevices(DeviceList& devices, const std::string& sysfsRoot)
{
    devices.clear();
    bool acpiPresent = false;
    DeviceSet set;
    for (const AcpiObject& object : ReadAcpiObjects(sysfsRoot, acpiPresent))
        if (IsProcessor(object))
            set.insert(AcpiIdentifiers(kProcessorHid, {}));
    set.AppendTo(devices);
}

bool IsMultiprocessor(const std::string& sysfsRoot)
{
    bool acpiPresent = false;
    return Multiprocessor(sysfsRoot, ReadAcpiObjects(sysfsRoot, acpiPresent));
}

unsigned CountCpuList(const std::string& text)
{
    std::string_view rest(text);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' '))
        rest.remove_suffix(1);
    if (rest.empty())
        return 0;
    unsigned long count = 0;
    while (true) {
        const size_t comma = rest.find(',');
        const std::string_view range = rest.substr(0, comma);
        const size_t dash = range.find('-');
        const auto first = ParseNumber<unsigned>(range.substr(0, dash), false);
        const auto last = dash == std::string_view::npos ? first : ParseNumber<unsigned>(range.substr(dash + 1), false);
        if (!first || !last || *last < *first || *last >= kCpuNumberLimit)
            return 0;
        count += *last - *first + 1;
        if (count > kCpuNumberLimit)
            return 0;
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return static_cast<unsigned>(count);
}

}  // namespace Transvia

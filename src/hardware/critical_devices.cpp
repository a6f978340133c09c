#include "hardware/critical_devices.h"

#include <iterator>

#include "hardware/pci_class.h"

namespace Transvia {

void ArrangeCriticalDevices(DeviceList& devices)
{
    DeviceList isaBridges;
    DeviceList usbControllers;
    SelectByClass(devices, PciClassSelector(0x06, 0x01), isaBridges);
    SelectByClass(devices, PciClassSelector(0x0C, 0x03), usbControllers);

    DeviceList storage;
    SelectByClass(devices, PciClassSelector(0x01), storage);
    SelectById(devices, kVirtualDisplayId, storage);

    DeviceList fibreChannel;
    SelectByClass(devices, PciClassSelector(0x0C, 0x04), fibreChannel);

    KeepByClass(devices, PciClassSelector(0x0E));
    for (DeviceList* group : {&storage, &fibreChannel, &isaBridges, &usbControllers})
        devices.insert(devices.end(), std::make_move_iterator(group->begin()), std::make_move_iterator(group->end()));
}

}  // namespace Transvia

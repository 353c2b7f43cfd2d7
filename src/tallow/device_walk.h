// The one walk over the USB devices that both device operations make: it makes the device
// set, hands each device that the caller's filter accepts to the caller, and destroys the
// set again, so that an operation is only its filter and what it does with a device.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "device_messages.h"
#include "device_reads.h"
#include "hardware_ids.h"
#include "unique_handle.h"

// How a walk ended.
enum class WalkEnd {
  kWalked,        // every device was seen and the set destroyed
  kNoSet,         // the set could not be made; the last-error code says why
  kNotDestroyed,  // every device was seen, but the set could not be destroyed; already reported
};

// A device of the walk, as the caller sees it.
struct UsbDevice {
  HDEVINFO set;
  SP_DEVINFO_DATA& data;
  DWORD index;  // its position in the set, counting every device the set holds
};

// Walks the devices of the USB enumerator that SetupDiGetClassDevsW gives for `flags`.
// `accepts(HardwareIdList&)` sees each device's hardware-ID list (a device whose list cannot
// be read is passed over) and `visit(const UsbDevice&)` each device it accepts. A set that
// cannot be destroyed is reported here, on the console and in the log.
template <typename Filter, typename Visit>
WalkEnd ForEachUsbDevice(DWORD flags, Filter&& accepts, Visit&& visit) {
  DeviceSet set(SetupDiGetClassDevsW(nullptr, L"USB", nullptr, flags));
  if (!set) return WalkEnd::kNoSet;

  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  wchar_t idList[MAX_PATH];
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
    if (!ReadHardwareIdList(set.get(), device, idList)) continue;
    // NOLINTNEXTLINE(misc-const-correctness): a filter may change the list; the update lowers it.
    HardwareIdList ids(idList, MAX_PATH);
    if (accepts(ids)) visit(UsbDevice{set.get(), device, index});
  }

  if (!set.close()) {
    device_messages::ReportDestroyFailed();
    return WalkEnd::kNotDestroyed;
  }
  return WalkEnd::kWalked;
}

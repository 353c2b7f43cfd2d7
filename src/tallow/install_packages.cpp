// "/i": puts the network and the USB driver package into the driver store, then binds the
// USB devices to the driver.
#include "console.h"
#include "difx_library.h"
#include "driver_paths.h"
#include "operations.h"

namespace {

// Prints and logs the outcome of one package's preinstall, right after it: a failure
// line shows the library's last-error code.
void ReportPreinstall(DWORD result, const wchar_t* addedW, const char* added, const wchar_t* presentW,
                      const char* present, const wchar_t* failedW, const char* failed) {
  if (result == kPackageAdded) {
    EchoW(addedW, added);
  } else if (result == kPackageInStore) {
    EchoW(presentW, present);
  } else {
    EchoW(failedW, failed, LastErrorCode());
  }
}

// Preinstalls both packages; the result is the USB package's outcome, 0 when the library
// cannot be used.
int PreinstallPackages(const CDriverInfPaths& record) {
  const DifxLibrary difx = DifxLibrary::Load();
  if (!difx || !difx.preinstall) return 0;

  ReportPreinstall(difx.preinstall(record.netInfPath.get(), kPreinstallFlags),
                   TOOLS_TWIN("DriverPackagePreinstall netaapl successed !\n"),
                   TOOLS_TWIN("DriverPackagePreinstall netaapl alread exist \n"),
                   TOOLS_TWIN("DriverPackagePreinstall netaapl err: %ld\n"));

  const DWORD usb = difx.preinstall(record.drvInfPath.get(), kPreinstallFlags);
  ReportPreinstall(usb, TOOLS_TWIN("DriverPackagePreinstall usbaapl successed !\n"),
                   TOOLS_TWIN("DriverPackagePreinstall usbaapl alread exist \n"),
                   TOOLS_TWIN("DriverPackagePreinstall usbaapl err: %ld\n"));
  switch (usb) {
    case kPackageAdded:
      return 1;
    case kPackageInStore:
      return 2;
    case kPreinstallInfMissing:
      // A missing INF file must not read as "already in the store" (2).
      return kInfNotFound;
    default:
      return static_cast<int>(usb);
  }
}

}  // namespace

int InstallDriverPackages(CDriverInfPaths& record) {
  // The library is freed before the devices are updated.
  const int result = PreinstallPackages(record);
  UpdateDevice(record, record.drvInfPath.get(), record.infSection);
  return result;
}

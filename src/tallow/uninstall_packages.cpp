// "/u": takes the network and the USB driver package out of the driver store, where they are.
#include "console.h"
#include "debuglog.h"
#include "difx_library.h"
#include "driver_paths.h"
#include "operations.h"
#include "restart_notice.h"

namespace {

// Takes the package whose INF lies at `storePath` out of the store: 0 on success, else the
// library's code, with the last-error code as the library left it. A removal that needs a
// restart to finish sets `restartRequired`.
DWORD RemoveFromStore(const DifxLibrary& difx, const wchar_t* storePath, bool& restartRequired) {
  BOOL needReboot = FALSE;
  const DWORD result = difx.uninstall(storePath, kUninstallFlags, nullptr, &needReboot);
  // The output is defined only after a removal that succeeded.
  if (result == ERROR_SUCCESS && needReboot) restartRequired = true;
  return result;
}

// Where a package's INF lies in the driver store; empty until found.
struct StorePath {
  // Looks the path up; 0 on success, else the library's code.
  DWORD Find(const DifxLibrary& difx, const wchar_t* infPath) {
    *this = {};
    const DWORD result = difx.getPath(infPath, text, &capacity);
    text[MAX_PATH - 1] = L'\0';  // whatever the library left, the text ends within the buffer
    return result;
  }

  wchar_t text[MAX_PATH] = {};
  DWORD capacity = MAX_PATH;
};

// A probe that answers "added" has just put a package into the store that was not there;
// it is taken out again, so that "/u" never leaves more in the store than it found.
void RemoveProbeCopy(const DifxLibrary& difx, CDriverInfPaths& record, const wchar_t* infPath, const char* package,
                     bool& restartRequired) {
  if (!difx.getPath || !difx.uninstall) {
    LogPrintf("%s: the probe added the package to the driver store; it cannot be removed again \n", package);
    return;
  }
  StorePath store;
  if (store.Find(difx, infPath) != ERROR_SUCCESS) {
    LogPrintf("%s: the probe added the package to the driver store; its path was not found: %ld \n", package,
              GetLastError());
    return;
  }
  if (RemoveFromStore(difx, store.text, restartRequired) == ERROR_SUCCESS) {
    LogPrintf("%s: removed the copy the probe added to the driver store: %s\n", package,
              record.strTools.ToNarrow(store.text));
  } else {
    LogPrintf("%s: the probe added the package to the driver store; removing it failed: %ld \n", package,
              GetLastError());
  }
}

// The network package's outcome is reported but decides nothing.
void UninstallNetworkPackage(const DifxLibrary& difx, CDriverInfPaths& record, bool& restartRequired) {
  const wchar_t* inf = record.netInfPath.get();
  const DWORD probe = difx.preinstall(inf, kPreinstallFlags);
  if (probe == kPackageAdded) RemoveProbeCopy(difx, record, inf, "netaapl", restartRequired);
  if (probe != kPackageInStore) return;

  EchoA(TOOLS_TWIN_A("netappl already exist: %ld \n"), static_cast<long>(probe));
  if (!difx.getPath) return;
  StorePath store;
  if (store.Find(difx, inf) != ERROR_SUCCESS) {
    EchoA(TOOLS_TWIN_A("DriverPackageGetPath netaapl err: %ld \n"), LastErrorCode());
    return;
  }
  EchoText(record.strTools, TOOLS_TWIN("inf net path: %s\n"), store.text);
  if (!difx.uninstall) return;
  if (RemoveFromStore(difx, store.text, restartRequired) == ERROR_SUCCESS) {
    EchoA(TOOLS_TWIN_A("DriverPackageUninstall netaapl successed ! \n"));
  } else {
    EchoA(TOOLS_TWIN_A("DriverPackageUninstall netaapl err: %ld \n"), LastErrorCode());
  }
}

// The USB package's outcome is the operation's result.
int UninstallUsbPackage(const DifxLibrary& difx, CDriverInfPaths& record, bool& restartRequired) {
  const wchar_t* inf = record.drvInfPath.get();
  const DWORD probe = difx.preinstall(inf, kPreinstallFlags);
  if (probe == kPreinstallInfMissing) {
    EchoW(TOOLS_TWIN("Driver's inf file not found ! (%ld)\n"), LastErrorCode());
    return kInfNotFound;
  }
  if (probe != kPackageInStore) {
    if (probe == kPackageAdded) RemoveProbeCopy(difx, record, inf, "usbaapl", restartRequired);
    return static_cast<int>(probe);
  }

  EchoA(TOOLS_TWIN_A("usbappl already exist: %ld \n"), static_cast<long>(probe));
  if (!difx.getPath) return static_cast<int>(kPackageInStore);
  StorePath store;
  if (const DWORD found = store.Find(difx, inf); found != ERROR_SUCCESS) {
    EchoW(TOOLS_TWIN("DriverPackageGetPath usbaapl err: %ld \n"), LastErrorCode());
    return static_cast<int>(found);
  }
  EchoText(record.strTools, TOOLS_TWIN("inf usb path: %s\n"), store.text);
  if (!difx.uninstall) return 0;
  const DWORD removed = RemoveFromStore(difx, store.text, restartRequired);
  if (removed == ERROR_SUCCESS) {
    EchoW(TOOLS_TWIN("DriverPackageUninstall usbaapl successed !\n"));
    return 1;
  }
  EchoW(TOOLS_TWIN("DriverPackageUninstall usbaapl err: %ld \n"), LastErrorCode());
  return static_cast<int>(removed);
}

}  // namespace

int UninstallDriverPackages(CDriverInfPaths& record) {
  const DifxLibrary difx = DifxLibrary::Load();
  if (!difx) {
    EchoW(TOOLS_TWIN("LoadLirary err: %ld"), LastErrorCode());
    return 0;
  }
  if (!difx.preinstall) {
    OutW(L"GetProcAddress DriverPackagePreinstall err: %ld", GetLastError());
    return 0;
  }

  // Every removal of the run counts, the removal of a probe's copy too.
  bool restartRequired = false;
  UninstallNetworkPackage(difx, record, restartRequired);
  const int result = UninstallUsbPackage(difx, record, restartRequired);
  ReportRestartIfRequired(restartRequired);
  return result;
}

// "/re" (and the end of "/i"): stages the USB driver's INF, forces its driver onto the
// connected devices of every hardware ID in the model section, and marks the absent ones
// for reinstallation so that the system installs the driver when they come back.
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <regstr.h>
#include <setupapi.h>

#include <optional>

#include "console.h"
#include "debuglog.h"
#include "device_messages.h"
#include "device_reads.h"
#include "device_walk.h"
#include "driver_paths.h"
#include "hardware_ids.h"
#include "operations.h"
#include "restart_notice.h"
#include "unique_handle.h"

using device_messages::LogThenShow;

namespace {

constexpr int kUpdated = 1;
constexpr int kStagingFailed = 0;

// Sets CONFIGFLAG_REINSTALL on a device; true when the flags were stored.
bool MarkForReinstall(HDEVINFO set, SP_DEVINFO_DATA& device) {
  DWORD flags = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_CONFIGFLAGS, nullptr, reinterpret_cast<BYTE*>(&flags),
                                         sizeof flags, nullptr)) {
    return false;
  }
  flags |= CONFIGFLAG_REINSTALL;
  return SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_CONFIGFLAGS, reinterpret_cast<BYTE*>(&flags),
                                           sizeof flags) != FALSE;
}

// What one line's walk over the devices gave.
struct MarkResult {
  bool marked;  // an absent device that carries the ID had its flags stored
  WalkEnd end;
};

// Looks at every USB device the system knows for one INF hardware ID and marks the absent
// ones that carry it. Each device is decided at the first of its IDs that contains the INF's.
MarkResult MarkAbsentDevices(const wchar_t* infId) {
  bool marked = false;
  const WalkEnd end = ForEachUsbDevice(
      DIGCF_ALLCLASSES, [infId](HardwareIdList& ids) { return ids.LowerUntilContaining(infId); },
      [&marked](const UsbDevice& device) {
        ULONG nodeStatus = 0;
        ULONG problem = 0;
        if (CM_Get_DevNode_Status(&nodeStatus, &problem, device.data.DevInst, 0) == CR_NO_SUCH_DEVINST &&
            MarkForReinstall(device.set, device.data)) {
          marked = true;
        }
      });
  return {marked, end};
}

// What the forced updates of a run gave, over every hardware ID of the section.
struct UpdateResults {
  bool restartRequired = false;       // an update that succeeded takes effect after a restart
  std::optional<DWORD> firstFailure;  // the error of the first update that failed
};

// Forces the INF's driver onto the connected devices that carry one hardware ID, and notes
// what the update gave.
void ForceUpdate(const wchar_t* infId, const wchar_t* fullPath, UpdateResults& results) {
  BOOL reboot = FALSE;
  if (UpdateDriverForPlugAndPlayDevicesW(nullptr, infId, fullPath, INSTALLFLAG_FORCE, &reboot)) {
    // The output is defined only after an update that succeeded.
    if (reboot) results.restartRequired = true;
    return;
  }
  // ERROR_NO_SUCH_DEVINST: no connected device carries the ID, so there was nothing to do.
  const DWORD error = GetLastError();
  if (error != static_cast<DWORD>(ERROR_NO_SUCH_DEVINST) && !results.firstFailure) results.firstFailure = error;
}

// Stages the INF and walks its model section; gives the status of the run.
int UpdateFromInf(CDriverInfPaths& record, const wchar_t* drvInfPath, const wchar_t* infSection,
                  UpdateResults& updates) {
  wchar_t fullPath[MAX_PATH] = {};
  if (GetFullPathNameW(drvInfPath, MAX_PATH, fullPath, nullptr) == 0) {
    // ".inf文件 %s 未找到\n": the .inf file %s was not found.
    LogThenShow(record.strTools, ".inf\xCE\xC4\xBC\xFE %s \xCE\xB4\xD5\xD2\xB5\xBD\n",
                L".inf\u6587\u4EF6 %s \u672A\u627E\u5230\n", drvInfPath);
    return kInfNotFound;
  }

  InfFile inf;
  INFCONTEXT line = {};
  if (const int failure = OpenModelSection(record.strTools, fullPath, drvInfPath, infSection, inf, line)) {
    return failure;
  }

  int status = kUpdated;
  if (!SetupCopyOEMInfW(fullPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
    status = kStagingFailed;
    EchoA(TOOLS_TWIN_A("\t SetupCopyOEMInf error (%ld)\n"), LastErrorCode());
  }

  for (bool more = true; more; more = SetupFindNextLine(&line, &line) != FALSE) {
    wchar_t infId[MAX_PATH];
    if (!ReadInfHardwareId(line, infId)) continue;

    // The update's result does not change the status, which is the staging's and the marks'.
    ForceUpdate(infId, fullPath, updates);

    const MarkResult marks = MarkAbsentDevices(infId);
    if (marks.marked) status = kUpdated;
    // A device set that could not be made or destroyed ends the lines.
    if (marks.end != WalkEnd::kWalked) break;
  }
  return status;
}

}  // namespace

int UpdateDevice(CDriverInfPaths& record, const wchar_t* drvInfPath, const wchar_t* infSection) {
  LogPrintf("\n UpdateDevice Opt: \n");
  OutA("\n UpdateDevice Opt: \n");

  // The INF is closed inside, before the summary.
  UpdateResults updates;
  const int status = UpdateFromInf(record, drvInfPath, infSection, updates);

  switch (status) {
    case kUpdated:
      // An update that failed is not called a success; the status stays as it is.
      if (updates.firstFailure) {
        EchoW(TOOLS_TWIN(" Driver Update failed (%ld) !\n"), static_cast<long>(*updates.firstFailure));
      } else {
        EchoW(TOOLS_TWIN(" Driver Update Successed!\n"));
      }
      break;
    case kInfNotFound:
      EchoW(TOOLS_TWIN(" driver's inf file not found ! \n"));
      break;
    case kSectionNotFound:
      EchoW(TOOLS_TWIN("driver's descriptor not found !\n"));
      break;
    default:
      EchoW(L" Driver Update failed !\n", "Driver Update failed !\n");
      break;
  }
  ReportRestartIfRequired(updates.restartRequired);
  return status;
}

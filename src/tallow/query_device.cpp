// "/qu": lists the connected USB devices whose most general hardware ID is one of the
// INF's model section, with six of their properties, and says whether each is bound to
// the right driver and runs it. Reads only; changes nothing on the system.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>
#include <iterator>

#include "console.h"
#include "debuglog.h"
#include "device_reads.h"
#include "device_walk.h"
#include "driver_paths.h"
#include "hardware_ids.h"
#include "operations.h"
#include "strtools.h"
#include "unique_handle.h"

namespace {

constexpr int kNormal = 1;
constexpr int kMismatched = 3;

constexpr const wchar_t* kDriverName = L"Apple Mobile Device USB Driver";
constexpr const wchar_t* kMaker = L"Apple, Inc.";

// One property's text: 260 characters are read, and one more always holds a terminator,
// so that data that fill the buffer still end inside it.
struct PropertyText {
  wchar_t text[MAX_PATH + 1];
};

struct Property {
  DWORD code;
  const wchar_t* console;
  const char* log;
};

// Read, shown and logged in this order; the enum names their places.
enum PropertyIndex : size_t { kClass, kClassGuid, kDriver, kDeviceDesc, kFriendlyName, kMfg };
constexpr Property kProperties[] = {
    {SPDRP_CLASS, TOOLS_TWIN("%d appdev Class \t\t = %s\n")},
    {SPDRP_CLASSGUID, TOOLS_TWIN("%d appdev ClassGuid \t = %s\n")},
    {SPDRP_DRIVER, TOOLS_TWIN("%d appdev Driver \t = %s\n")},
    {SPDRP_DEVICEDESC, TOOLS_TWIN("%d appdev DeviceDesc \t = %s\n")},
    {SPDRP_FRIENDLYNAME, TOOLS_TWIN("%d appdev FriendlyName \t = %s\n")},
    {SPDRP_MFG, TOOLS_TWIN("%d appdev Mfg \t\t = %s\n")},
};
static_assert(std::size(kProperties) == kMfg + 1);
static_assert(kProperties[kClass].code == SPDRP_CLASS && kProperties[kClassGuid].code == SPDRP_CLASSGUID &&
              kProperties[kDriver].code == SPDRP_DRIVER && kProperties[kDeviceDesc].code == SPDRP_DEVICEDESC &&
              kProperties[kFriendlyName].code == SPDRP_FRIENDLYNAME && kProperties[kMfg].code == SPDRP_MFG);

// Whether the device runs its driver. Windows records the driver it chose whether or not
// the driver then loads and starts; a device whose driver did not (unsigned, failed,
// disabled, held back) has a problem, and one that waits for a restart has not changed yet.
// Such a device gets one line that names its problem number. A status that cannot be read
// leaves the judgement to the strings.
bool RunsItsDriver(SP_DEVINFO_DATA& device, int index) {
  // Given first: Wine answers CR_SUCCESS and leaves them as they were, a device that runs.
  ULONG status = 0;
  ULONG problem = 0;
  if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_SUCCESS) return true;
  if (status & DN_NEED_RESTART) {
    EchoW(TOOLS_TWIN("%d appdev Problem \t = %lu, restart needed\n"), index, problem);
    return false;
  }
  if (status & DN_HAS_PROBLEM) {
    EchoW(TOOLS_TWIN("%d appdev Problem \t = %lu\n"), index, problem);
    return false;
  }
  return true;
}

// Reads, shows and logs the six properties of a matching device; true when it is bound to
// the right driver and runs it. Each buffer is cleared first, so a property that cannot be
// read counts as empty.
bool ExamineDevice(CComStrTools& tools, HDEVINFO set, SP_DEVINFO_DATA& device, int index) {
  PropertyText values[std::size(kProperties)];
  for (size_t i = 0; i < std::size(kProperties); ++i) {
    ZeroMemory(values[i].text, sizeof values[i].text);
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, kProperties[i].code, nullptr,
                                          reinterpret_cast<BYTE*>(values[i].text), MAX_PATH * sizeof(wchar_t),
                                          nullptr)) {
      OutW(kProperties[i].console, index, values[i].text);
    }
  }
  for (size_t i = 0; i < std::size(kProperties); ++i) {
    LogPrintf(kProperties[i].log, index, tools.ToNarrow(values[i].text));
  }

  const bool runs = RunsItsDriver(device, index);
  return runs && EqualsIgnoringAsciiCase(values[kClass].text, L"USB") &&
         EqualsIgnoringAsciiCase(values[kDeviceDesc].text, kDriverName) &&
         EqualsIgnoringAsciiCase(values[kFriendlyName].text, kDriverName) &&
         EqualsIgnoringAsciiCase(values[kMfg].text, kMaker);
}

// Shows and logs the INF hardware ID that a device matched, then examines the device;
// true when it is bound to the right driver.
bool ReportDevice(CComStrTools& tools, const wchar_t* infId, const UsbDevice& device) {
  const int shownIndex = static_cast<int>(device.index);
  LogPrintf("%d appdev HarewareID \t = %s\n", shownIndex, tools.ToNarrow(infId));
  OutW(L"%d appdrv HarewareID \t = %s\n", shownIndex, infId);
  return ExamineDevice(tools, device.set, device.data, shownIndex);
}

}  // namespace

int QueryDevice(CDriverInfPaths& record, const wchar_t* drvInfPath, const wchar_t* infSection) {
  LogPrintf("\n Query Device Opt: \n");
  OutW(L"\n Query Device Opt: \n");

  InfFile inf;
  INFCONTEXT line = {};
  if (const int failure = OpenModelSection(record.strTools, drvInfPath, drvInfPath, infSection, inf, line)) {
    return failure;
  }

  EchoW(L"\n Current Device's Info: \n", " Current Device's Info: \n");

  int mismatches = 0;
  for (bool more = true; more; more = SetupFindNextLine(&line, &line) != FALSE) {
    wchar_t infId[MAX_PATH];
    if (!ReadInfHardwareId(line, infId)) continue;
    const WalkEnd end = ForEachUsbDevice(
        DIGCF_PRESENT | DIGCF_ALLCLASSES,
        [&infId](const HardwareIdList& ids) { return EqualsIgnoringAsciiCase(std::wstring_view(infId), ids.Last()); },
        [&](const UsbDevice& device) {
          if (!ReportDevice(record.strTools, infId, device)) ++mismatches;
        });
    // A set that could not be made ends the lines; one that could not be destroyed does not.
    if (end == WalkEnd::kNoSet) {
      EchoW(TOOLS_TWIN("SetupDiGetClassDevs failed : (%ld)\n"), LastErrorCode());
      break;
    }
  }
  inf.reset();

  if (mismatches > 0) {
    EchoW(L" Current Device's driver is mismatched ! \n", " Current Device's driver is mismatched !\n");
    return kMismatched;
  }
  EchoW(TOOLS_TWIN(" Current Device Status : Normalization !\n"));
  return kNormal;
}

#include "device_reads.h"

#include "device_messages.h"
#include "hardware_ids.h"
#include "operations.h"
#include "strtools.h"
#include "unique_handle.h"

int OpenModelSection(CComStrTools& tools, const wchar_t* openPath, const wchar_t* infPath, const wchar_t* section,
                     InfFile& inf, INFCONTEXT& line) {
  inf.reset(SetupOpenInfFileW(openPath, nullptr, INF_STYLE_WIN4, nullptr));
  if (!inf) {
    device_messages::ReportOpenFailed(tools, infPath);
    return kInfNotFound;
  }
  if (!SetupFindFirstLineW(inf.get(), section, nullptr, &line)) {
    device_messages::ReportNoDescriptor();
    return kSectionNotFound;
  }
  return 0;
}

bool ReadInfHardwareId(INFCONTEXT& line, wchar_t (&id)[MAX_PATH]) {
  ZeroMemory(id, sizeof id);
  if (!SetupGetStringFieldW(&line, 2, id, MAX_PATH, nullptr) || id[0] == L'\0') return false;
  LowerAsciiInPlace(id, BoundedText(id, MAX_PATH).size());
  return true;
}

bool ReadHardwareIdList(HDEVINFO set, SP_DEVINFO_DATA& device, wchar_t (&list)[MAX_PATH]) {
  ZeroMemory(list, sizeof list);
  return SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(list),
                                           sizeof list, nullptr) != FALSE;
}

#include "driver_paths.h"

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

#include "build_constants.h"
#include "console.h"
#include "system_paths.h"

namespace {

std::unique_ptr<wchar_t[]> CopyOf(const std::wstring& text) {
  auto copy = std::make_unique<wchar_t[]>(text.size() + 1);
  text.copy(copy.get(), text.size());
  copy[text.size()] = L'\0';
  return copy;
}

}  // namespace

CDriverInfPaths::CDriverInfPaths() { ResolveInfPaths(*this); }

CDriverInfPaths::~CDriverInfPaths() {
  netInfPath.reset();
  drvInfPath.reset();
}

void ResolveInfPaths(CDriverInfPaths& record) {
  // Without a system directory the paths become relative to the current directory.
  const std::wstring system = SystemDirectory();

  const size_t lastSlash = system.rfind(L'\\');
  const std::wstring windowsDirectory = lastSlash == std::wstring::npos ? L"" : system.substr(0, lastSlash + 1);
  const std::wstring driveRoot = system.substr(0, 3);

  record.netInfPath = CopyOf(driveRoot + kBuild.netInf);
  record.drvInfPath = CopyOf(driveRoot + kBuild.usbInf);
  record.infSection = kBuild.infSection;

  if constexpr (kBuild.copiesInfFiles) {
    // Best effort: without the packages or the rights to the INF folder nothing is copied.
    CopyFileW(record.drvInfPath.get(), (windowsDirectory + L"inf\\usbaapl.inf").c_str(), FALSE);
    CopyFileW(record.netInfPath.get(), (windowsDirectory + L"inf\\netaapl.inf").c_str(), FALSE);
  }

  OutW(L"net inf path : %s \n", record.netInfPath.get());
  OutW(L"drv inf path : %s \n", record.drvInfPath.get());
  OutW(L"inf sec : %s \n", record.infSection);
}

#include "switches.h"

#include <span>

#include "driver_paths.h"
#include "operations.h"
#include "strtools.h"
#include "system_libraries.h"

namespace {

// The system libraries each operation calls into; the driver-install library is the
// operations' own business.
#if defined(_MSC_VER)
// The SDK binds the configuration-manager call, which "/re" and "/qu" make, to cfgmgr32.dll.
constexpr const wchar_t* kUpdateLibraries[] = {L"setupapi.dll", L"cfgmgr32.dll", L"newdev.dll"};
constexpr const wchar_t* kQueryLibraries[] = {L"setupapi.dll", L"cfgmgr32.dll"};
#else
// mingw-w64 binds it to setupapi.dll, which exports it too.
constexpr const wchar_t* kUpdateLibraries[] = {L"setupapi.dll", L"newdev.dll"};
constexpr const wchar_t* kQueryLibraries[] = {L"setupapi.dll"};
#endif

struct Switch {
  const wchar_t* text;
  std::span<const wchar_t* const> libraries;
  int (*run)(CDriverInfPaths& record);
};

// Compared in this order; the first equal one runs.
constexpr Switch kSwitches[] = {
    {L"/i", kUpdateLibraries, [](CDriverInfPaths& r) { return InstallDriverPackages(r); }},
    {L"/u", {}, [](CDriverInfPaths& r) { return UninstallDriverPackages(r); }},
    {L"/re", kUpdateLibraries, [](CDriverInfPaths& r) { return UpdateDevice(r, r.drvInfPath.get(), r.infSection); }},
    {L"/qu", kQueryLibraries, [](CDriverInfPaths& r) { return QueryDevice(r, r.drvInfPath.get(), r.infSection); }},
};

}  // namespace

int RunSwitch(CDriverInfPaths& record, const wchar_t* switchText) {
  for (const Switch& entry : kSwitches) {
    if (EqualsIgnoringAsciiCase(switchText, entry.text)) {
      SystemLibraries libraries;
      if (!libraries.Load(entry.libraries)) return kSystemLibraryMissing;
      return entry.run(record);
    }
  }
  return 0;
}

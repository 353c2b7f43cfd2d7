#include "switches.h"

#include "driver_paths.h"
#include "operations.h"
#include "strtools.h"

namespace {

struct Switch {
  const wchar_t* text;
  int (*run)(CDriverInfPaths& record);
};

// Compared in this order; the first equal one runs.
constexpr Switch kSwitches[] = {
    {L"/i", [](CDriverInfPaths& r) { return InstallDriverPackages(r); }},
    {L"/u", [](CDriverInfPaths& r) { return UninstallDriverPackages(r); }},
    {L"/re", [](CDriverInfPaths& r) { return UpdateDevice(r, r.drvInfPath.get(), r.infSection); }},
    {L"/qu", [](CDriverInfPaths& r) { return QueryDevice(r, r.drvInfPath.get(), r.infSection); }},
};

}  // namespace

int RunSwitch(CDriverInfPaths& record, const wchar_t* switchText) {
  for (const Switch& entry : kSwitches) {
    if (EqualsIgnoringAsciiCase(switchText, entry.text)) {
      return entry.run(record);
    }
  }
  return 0;
}

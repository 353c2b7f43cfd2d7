#include "switches.h"

#include "driver_paths.h"
#include "strtools.h"

namespace {

struct Switch {
  const wchar_t* text;
  int (*run)(CDriverInfPaths& record);
};

// Compared in this order; the first equal one runs.
constexpr Switch kSwitches[] = {
    {L"/i", nullptr},
    {L"/u", nullptr},
    {L"/re", nullptr},
    {L"/qu", nullptr},
};

}  // namespace

int RunSwitch(CDriverInfPaths& record, const wchar_t* switchText) {
  for (const Switch& entry : kSwitches) {
    if (EqualsIgnoringAsciiCase(switchText, entry.text)) {
      return entry.run ? entry.run(record) : 0;
    }
  }
  return 0;
}

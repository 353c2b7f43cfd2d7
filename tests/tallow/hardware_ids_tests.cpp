// Walking a device's hardware-ID list in its fixed buffer, and the ASCII-only case rules.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardware_ids.h"

namespace testing_support::tallow_test {

namespace {

// A buffer of `capacity` characters holding `data`, followed by a guard region whose text
// would change the answer if it were ever read.
struct GuardedBuffer {
  GuardedBuffer(const std::wstring& data, size_t capacity, const std::wstring& guard = L"usb\\vid_05ac&pid_1290")
      : storage(data), capacity_(capacity) {
    storage.resize(capacity, L'\0');
    storage += guard;
    storage.push_back(L'\0');
    storage.push_back(L'\0');
  }
  HardwareIdList List() { return HardwareIdList(storage.data(), capacity_); }
  std::wstring Inside() const { return storage.substr(0, capacity_); }

  std::wstring storage;
  size_t capacity_;
};

std::wstring Ids(std::initializer_list<const wchar_t*> ids) {
  std::wstring list;
  for (const wchar_t* id : ids) list.append(id).push_back(L'\0');
  list.push_back(L'\0');
  return list;
}

}  // namespace

TEST(HardwareIds, LowerCasingChangesOnlyAToZ) {
  std::wstring text = L"USB\\VID_05AC&PID_12A8 @[`{ \u00C0\u00DE\u0130Zz";
  LowerAsciiInPlace(text.data(), text.size());
  EXPECT_EQ(text, L"usb\\vid_05ac&pid_12a8 @[`{ \u00C0\u00DE\u0130zz");
  std::wstring part = L"ABCD";
  LowerAsciiInPlace(part.data(), 2);
  EXPECT_EQ(part, L"abCD");
}

TEST(HardwareIds, BoundedTextEndsAtTheTerminatorOrTheBuffer) {
  const wchar_t text[] = {L'a', L'b', L'\0', L'c'};
  EXPECT_EQ(BoundedText(text, 4), L"ab");
  EXPECT_EQ(BoundedText(text, 1), L"a");
  EXPECT_EQ(BoundedText(text + 3, 1), L"c");
  EXPECT_EQ(BoundedText(text, 0), L"");
}

TEST(HardwareIds, TheDeviceIsDecidedAtTheFirstStringThatContainsTheId) {
  const std::wstring id = L"usb\\vid_05ac&pid_1290";
  struct Case {
    std::wstring list;
    bool found;
    std::wstring after;  // the buffer afterwards: strings up to the deciding one are lower-cased
  };
  const std::vector<Case> cases = {
      {Ids({L"USB\\VID_05AC&PID_1290&REV_0001", L"USB\\VID_05AC&PID_1290"}), true,
       Ids({L"usb\\vid_05ac&pid_1290&rev_0001", L"USB\\VID_05AC&PID_1290"})},
      {Ids({L"USB\\VID_1234", L"Usb\\Vid_05ac&Pid_1290&MI_00", L"USB\\CLASS_FF"}), true,
       Ids({L"usb\\vid_1234", L"usb\\vid_05ac&pid_1290&mi_00", L"USB\\CLASS_FF"})},
      {Ids({L"USB\\VID_1234", L"USB\\VID_05AC&PID_129"}), false, Ids({L"usb\\vid_1234", L"usb\\vid_05ac&pid_129"})},
      // The empty string ends the list: what follows it is not looked at.
      {std::wstring(L"USB\\VID_1234") + L'\0' + L'\0' + L"USB\\VID_05AC&PID_1290" + L'\0' + L'\0', false,
       std::wstring(L"usb\\vid_1234") + L'\0' + L'\0' + L"USB\\VID_05AC&PID_1290" + L'\0' + L'\0'},
      {Ids({}), false, Ids({})},
  };
  for (const Case& c : cases) {
    GuardedBuffer buffer(c.list, 260);
    EXPECT_EQ(buffer.List().LowerUntilContaining(id), c.found);
    EXPECT_EQ(buffer.Inside(), std::wstring(c.after).append(260 - c.after.size(), L'\0'));
  }
}

TEST(HardwareIds, TheSearchStaysInsideABufferWithoutTerminators) {
  const std::wstring id = L"usb\\vid_05ac&pid_1290";
  // The ID at the very end of a full buffer, no terminator: found.
  GuardedBuffer atEnd(std::wstring(260 - id.size(), L'X') + L"USB\\VID_05AC&PID_1290", 260, L"");
  EXPECT_TRUE(atEnd.List().LowerUntilContaining(id));
  EXPECT_EQ(atEnd.Inside(), std::wstring(260 - id.size(), L'x') + id);
  // The ID cut by the end of the buffer, its rest just after it: not found, and nothing
  // after the buffer is changed.
  GuardedBuffer cut(std::wstring(250, L'X') + L"USB\\VID_05", 260, L"AC&PID_1290");
  EXPECT_FALSE(cut.List().LowerUntilContaining(id));
  EXPECT_EQ(cut.storage.substr(260, 11), L"AC&PID_1290");
  // A string that ends exactly at the buffer's last character, no empty string after it.
  GuardedBuffer exact(Ids({L"USB\\VID_1234"}).substr(0, 13) + std::wstring(246, L'Y') + L'\0', 260);
  ASSERT_EQ(exact.Inside().size(), 260u);
  EXPECT_FALSE(exact.List().LowerUntilContaining(id));
  EXPECT_EQ(exact.storage.substr(260, id.size()), id);
}

TEST(HardwareIds, TheLastStringIsTheOneBeforeTheEmptyString) {
  struct Case {
    std::wstring list;
    std::wstring last;
  };
  const std::wstring full259 = std::wstring(259, L'B');
  const std::vector<Case> cases = {
      {Ids({L"USB\\VID_05AC&PID_1290"}), L"USB\\VID_05AC&PID_1290"},
      {Ids({L"USB\\VID_05AC&PID_1290&REV_0001", L"USB\\VID_05AC&PID_1290"}), L"USB\\VID_05AC&PID_1290"},
      {Ids({L"A", L"B", L"C"}), L"C"},
      {Ids({}), L""},
      {std::wstring(L"A") + L'\0' + L'\0' + L"B" + L'\0' + L'\0', L"A"},
      // Strings running into the end of the buffer end there.
      {std::wstring(260, L'A'), std::wstring(260, L'A')},
      {std::wstring(L"A") + L'\0' + std::wstring(258, L'C'), std::wstring(258, L'C')},
      {full259 + L'\0', full259},
      {std::wstring(L"A") + L'\0' + std::wstring(257, L'D') + L'\0', std::wstring(257, L'D')},
  };
  for (const Case& c : cases) {
    GuardedBuffer buffer(c.list, 260, L"GUARD");
    EXPECT_EQ(buffer.List().Last(), c.last) << c.list.size();
  }
  // What lies after the buffer is never part of the last string.
  GuardedBuffer tiny(L"AB", 2, L"CD");
  EXPECT_EQ(tiny.List().Last(), L"AB");
}

}  // namespace testing_support::tallow_test

// Expected texts and an in-process caller shared by the tests of the two device operations.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "driver_paths.h"
#include "tallow_test_support.h"
#include "test_support.h"

namespace testing_support::tallow_test {

inline const std::wstring kSectionW(kSection.begin(), kSection.end());

// The Chinese messages. Log and narrow console: GBK bytes. Wide console under code page
// 1252: every Chinese character becomes '?', the full-width colon ':'.
// "打开文件失败：" (failed to open file)
inline const std::string kOpenFailedGbk = "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC\xA3\xBA";
inline const std::string kOpenFailed1252 = "??????:";
// "没有可用设备描述符 \n" (no usable device descriptor)
inline const std::string kNoDescriptorGbk =
    "\xC3\xBB\xD3\xD0\xBF\xC9\xD3\xC3\xC9\xE8\xB1\xB8\xC3\xE8\xCA\xF6\xB7\xFB \n";

// Standard output of a Windows program in text mode.
inline std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Log records as LogTail gives them: each text followed by "\r\n".
inline std::string Records(std::initializer_list<std::string> texts) {
  std::string log;
  for (const std::string& text : texts) log += text + "\r\n";
  return log;
}

// What one in-process call of an operation gave: its result, output and log records.
using Outcome = Captured;

// Calls UpdateDevice or QueryDevice in this process with a record of its own.
class DeviceCall : public ::testing::Test {
 protected:
  template <typename Operation>
  Outcome Call(Operation operation, const std::wstring& infPath = kUsbInf) {
    std::unique_ptr<CDriverInfPaths> record;
    {
      StdoutCapture quiet;  // the record prints its three path lines
      record = std::make_unique<CDriverInfPaths>();
    }
    return Capture([&] { return operation(*record, infPath.c_str(), kSectionW.c_str()); });
  }
};

}  // namespace testing_support::tallow_test

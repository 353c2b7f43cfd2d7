// Lines that both device operations print and log.
#pragma once

#include "console.h"
#include "debuglog.h"

namespace device_messages {

// "打开文件失败：%s \n": failed to open file %s.
inline constexpr const char* kOpenFailedLog = "\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC\xA3\xBA%s \n";
inline constexpr const wchar_t* kOpenFailedConsole = L"\u6253\u5F00\u6587\u4EF6\u5931\u8D25\uFF1A%s \n";

// "没有可用设备描述符 \n": no usable device descriptor. The same narrow bytes for both.
inline constexpr const char* kNoDescriptorLog =
    "\xC3\xBB\xD3\xD0\xBF\xC9\xD3\xC3\xC9\xE8\xB1\xB8\xC3\xE8\xCA\xF6\xB7\xFB \n";
inline constexpr const char* kNoDescriptorConsole =
    "\xC3\xBB\xD3\xD0\xBF\xC9\xD3\xC3\xC9\xE8\xB1\xB8\xC3\xE8\xCA\xF6\xB7\xFB \n";

// The log record first, then the console line, both about one wide text.
inline void LogThenShow(CComStrTools& tools, const char* log, const wchar_t* console, const wchar_t* text) {
  LogPrintf(log, tools.ToNarrow(text));
  OutW(console, text);
}

inline void ReportOpenFailed(CComStrTools& tools, const wchar_t* infPath) {
  LogThenShow(tools, kOpenFailedLog, kOpenFailedConsole, infPath);
}

inline void ReportNoDescriptor() {
  LogPrintf(kNoDescriptorLog);
  OutA(kNoDescriptorConsole);
}

inline void ReportDestroyFailed() {
  EchoA(TOOLS_TWIN_A("\t SetupDiDestroyDeviceInfoList failed (%ld)"), LastErrorCode());
}

}  // namespace device_messages

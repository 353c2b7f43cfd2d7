// The run's record of where the driver packages lie.
#pragma once

#include <memory>

#include "strtools.h"

struct CDriverInfPaths {
  // Works the paths out at once (ResolveInfPaths).
  CDriverInfPaths();
  ~CDriverInfPaths();
  CDriverInfPaths(const CDriverInfPaths&) = delete;
  CDriverInfPaths& operator=(const CDriverInfPaths&) = delete;

  std::unique_ptr<wchar_t[]> drvInfPath;  // the USB driver package's INF
  std::unique_ptr<wchar_t[]> netInfPath;  // the network driver package's INF
  const wchar_t* infSection = nullptr;    // model section of the USB driver's INF
  CComStrTools strTools;                  // wide text for the log
};

// Fills the paths and the section from the system drive, copies the INF files into the
// Windows INF folder in the i386 build, and prints the three values.
void ResolveInfPaths(CDriverInfPaths& record);

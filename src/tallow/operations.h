// The driver tool's four operations. Each returns the run's exit code.
#pragma once

struct CDriverInfPaths;

// Results that more than one operation gives: the USB driver's INF file is missing or does
// not open, or it has no model section.
inline constexpr int kInfNotFound = 4;
inline constexpr int kSectionNotFound = 5;

// "/i": preinstalls the network and the USB driver package, then runs UpdateDevice.
int InstallDriverPackages(CDriverInfPaths& record);
// "/u": removes the packages that are in the driver store.
int UninstallDriverPackages(CDriverInfPaths& record);
// "/re": stages the USB driver's INF, forces its driver onto the devices it lists and marks
// absent ones for reinstallation.
int UpdateDevice(CDriverInfPaths& record, const wchar_t* drvInfPath, const wchar_t* infSection);
// "/qu": reports whether the connected devices of the INF use the right driver.
int QueryDevice(CDriverInfPaths& record, const wchar_t* drvInfPath, const wchar_t* infSection);

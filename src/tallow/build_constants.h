// What differs between the i386 and the x86-64 build of the driver tool. Paths are relative
// to the root of the system drive.
#pragma once

struct BuildConstants {
  const wchar_t* netInf;
  const wchar_t* usbInf;
  const wchar_t* infSection;
  // The i386 build also copies both INF files into the Windows INF folder.
  bool copiesInfFiles;
  // The driver-install library, looked for beside the executable.
  const wchar_t* difxLibrary;
};

#if defined(_WIN64)
inline constexpr BuildConstants kBuild = {
    L"Program Files\\Common Files\\Apple\\Mobile Device Support\\NetDrivers\\netaapl64.inf",
    L"Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl64.inf",
    L"Apple.NTamd64",
    false,
    L"difxapi_x64.dll",
};
#else
inline constexpr BuildConstants kBuild = {
    L"Program Files\\Common Files\\Apple\\Mobile Device Support\\NetDrivers\\netaapl.inf",
    L"Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl.inf",
    L"Apple",
    true,
    L"DIFxAPI_x86.dll",
};
#endif

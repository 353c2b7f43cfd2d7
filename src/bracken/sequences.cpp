#include "sequences.h"

#include <windows.h>

#include "app_paths.h"
#include "process_sweep.h"
#include "reg_key.h"
#include "service_control.h"

namespace {

constexpr const wchar_t* kAppleService = L"Apple Mobile Device";
constexpr const wchar_t* kProductService = L"VIVavuzaRovuda";
constexpr const wchar_t* kIpodService = L"iPod Service";

}  // namespace

void StopServices() {
  // The services' own processes are left to their stops, which ask each service to stop
  // and end its process only when it does not.
  TerminateDeviceProcesses(OwnServiceProcesses({kAppleService, kProductService, kIpodService}));
  ServiceControl control;
  control.Stop(kAppleService);
  control.Delete(kAppleService);
  control.Stop(kProductService);
  control.Stop(kIpodService);
}

void StartServices() {
  ServiceControl control;
  CComRegKey regKey(HKEY_LOCAL_MACHINE);
  regKey.SetWow64(AppPaths.wow64 ? 1 : 0);
  control.Install(kAppleService, kAppleService, AppPaths.appleServicePath.get(),
                  L"Provides the interface to Apple mobile devices.");
  regKey.WriteAppleSupportKeys();
  control.Start(kAppleService);
  control.Start(kProductService);
  control.Start(kIpodService);
  regKey.CloseKey();
}

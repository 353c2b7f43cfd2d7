// Owners of the SetupAPI handles that the device operations open: the INF file and the
// device information set.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include "unique_handle.h"

struct InfFileTraits {
  using Type = HINF;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { SetupCloseInfFile(handle); }
};
using UniqueInfFile = UniqueHandle<InfFileTraits>;

struct DeviceSetTraits {
  using Type = HDEVINFO;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { SetupDiDestroyDeviceInfoList(handle); }
};

// A device set whose destruction can be reported: Destroy() gives the call's result, and
// a set still owned at the end of its scope is destroyed silently.
class UniqueDeviceSet {
 public:
  explicit UniqueDeviceSet(HDEVINFO set) : set_(set) {}

  HDEVINFO get() const { return set_.get(); }
  explicit operator bool() const { return static_cast<bool>(set_); }
  BOOL Destroy() { return SetupDiDestroyDeviceInfoList(set_.release()); }

 private:
  UniqueHandle<DeviceSetTraits> set_;
};

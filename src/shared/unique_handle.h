// Owners of the platform handles the tools open: move-only, and each closes its handle on
// every path out of the scope that holds it.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <utility>

// The value that means "no handle" for a kind of handle.
enum class NoHandle { kNull, kMinusOne };

// Owns one handle of type T, closed with CloseFunction.
template <typename T, auto CloseFunction, NoHandle kNone = NoHandle::kNull>
class UniqueHandle {
 public:
  static T Invalid() {
    if constexpr (kNone == NoHandle::kNull) {
      return T{};
    } else {
      return reinterpret_cast<T>(INVALID_HANDLE_VALUE);
    }
  }

  UniqueHandle() = default;
  explicit UniqueHandle(T handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  T get() const { return handle_; }
  explicit operator bool() const { return handle_ != Invalid(); }

  // Closes what it owns and takes `handle`. Closing leaves the thread's last-error code as
  // it was, so that `owner.reset(OpenX(...)); if (!owner) Report(GetLastError());` reports
  // the open's own failure.
  void reset(T handle = Invalid()) {
    if (handle_ != Invalid()) {
      const DWORD error = GetLastError();
      CloseFunction(handle_);
      SetLastError(error);
    }
    handle_ = handle;
  }
  // Closes what it owns and gives the address to open the next handle into, so that no
  // handle is ever held outside an owner: `OpenProcessToken(process, access, token.put())`.
  T* put() {
    reset();
    return &handle_;
  }
  T release() { return std::exchange(handle_, Invalid()); }
  // Closes the handle now and gives what the closing call answered, for callers that
  // report a failure to close; the last-error code is the closing call's.
  auto close() { return CloseFunction(release()); }

 private:
  T handle_ = Invalid();
};

inline BOOL FreeProcessHeapBlock(void* block) { return HeapFree(GetProcessHeap(), 0, block); }
inline HLOCAL FreeArgvBlock(LPWSTR* block) { return LocalFree(static_cast<HLOCAL>(block)); }

// Every kind of handle the tools hold.
using KernelHandle = UniqueHandle<HANDLE, CloseHandle>;                      // a process or a token
using FileHandle = UniqueHandle<HANDLE, CloseHandle, NoHandle::kMinusOne>;   // a file, folder or snapshot
using RegistryKey = UniqueHandle<HKEY, RegCloseKey>;                         // an opened or created key
using ServiceHandle = UniqueHandle<SC_HANDLE, CloseServiceHandle>;           // the manager or a service
using InfFile = UniqueHandle<HINF, SetupCloseInfFile, NoHandle::kMinusOne>;  // an open INF file
using DeviceSet = UniqueHandle<HDEVINFO, SetupDiDestroyDeviceInfoList, NoHandle::kMinusOne>;  // a device set
using UniqueLibrary = UniqueHandle<HMODULE, FreeLibrary>;                                     // a loaded library
using ArgvBlock = UniqueHandle<LPWSTR*, FreeArgvBlock>;       // CommandLineToArgvW's block
using HeapBlock = UniqueHandle<void*, FreeProcessHeapBlock>;  // a block of the process heap

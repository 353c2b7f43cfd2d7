// What the mingw-w64 builds do with an exception that nobody catches (the only one the
// tools can meet is std::bad_alloc, when memory runs out): say which on the standard error
// and abort, as the C++ runtime's own handler does. That handler names the exception's type
// demangled, for which it links the runtime's demangler, some 50 KB of each executable; this
// one names it as the compiler does ("St9bad_alloc"). Defining the handler under the
// runtime's name keeps the runtime's own out of the link: an archive member is taken only
// for a symbol that nothing before it defines.
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

// The runtime's own names.
// NOLINTNEXTLINE(cert-dcl58-cpp)
namespace __gnu_cxx {
// NOLINTNEXTLINE(bugprone-reserved-identifier)
void __verbose_terminate_handler() {
  const std::type_info* const type = abi::__cxa_current_exception_type();
  if (!type) {
    std::fputs("terminate called without an active exception\n", stderr);
    std::abort();
  }
  std::fprintf(stderr, "terminate called after throwing an instance of '%s'\n", type->name());
  try {
    // The runtime calls the handler with the uncaught exception as the current one.
    // cppcheck-suppress rethrowNoCurrentException
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "  what():  %s\n", e.what());
  } catch (...) {  // NOLINT(bugprone-empty-catch): another type has no text to add
  }
  std::abort();
}
}  // namespace __gnu_cxx

// The module a driver run calls: on Windows the quillmere.mexw64 named on
// the command line (LoadLibrary, then GetProcAddress("mexFunction")), whose
// libmx.dll and libmex.dll imports bind to the stand-in host DLLs this
// program itself runs on; elsewhere the gateway linked into the driver.
#ifndef QUILLMERE_TESTS_WINDOWS_MODULE_LOADING_H
#define QUILLMERE_TESTS_WINDOWS_MODULE_LOADING_H

#include <cstdio>

#include "standin_host.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace quillmere::testing {

#if defined(_WIN32)
constexpr bool kModuleOnCommandLine = true;

// The module's entry point, or nullptr with the reason on stderr.
inline StandinMexFunction loadModule(const char* path) {
  HMODULE module = LoadLibraryA(path);
  if (!module) {
    std::fprintf(stderr, "cannot load %s (Windows error %lu)\n", path, GetLastError());
    return nullptr;
  }
  FARPROC entry = GetProcAddress(module, "mexFunction");
  if (!entry) {
    std::fprintf(stderr, "%s exports no mexFunction\n", path);
    return nullptr;
  }
  // Through void(*)(void), the one function type any other converts to
  // without a warning.
  return reinterpret_cast<StandinMexFunction>(reinterpret_cast<void (*)(void)>(entry));
}
#else
constexpr bool kModuleOnCommandLine = false;

inline StandinMexFunction loadModule(const char*) { return mexFunction; }
#endif

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_WINDOWS_MODULE_LOADING_H

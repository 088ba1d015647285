#include "tests/windows/module_loading.h"

#include <cstdio>

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
StandinMexFunction loadModule(const char* path) {
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
StandinMexFunction loadModule(const char*) { return mexFunction; }
#endif

}  // namespace quillmere::testing

// The module a driver run calls: on Windows the quillmere.mexw64 named on
// the command line (LoadLibrary, then GetProcAddress("mexFunction")), whose
// libmx.dll and libmex.dll imports bind to the stand-in host DLLs this
// program itself runs on; elsewhere the gateway linked into the driver.
#ifndef QUILLMERE_TESTS_WINDOWS_MODULE_LOADING_H
#define QUILLMERE_TESTS_WINDOWS_MODULE_LOADING_H

#include "standin_host.h"

namespace quillmere::testing {

// Whether the command line names the module (before the mode).
#if defined(_WIN32)
constexpr bool kModuleOnCommandLine = true;
#else
constexpr bool kModuleOnCommandLine = false;
#endif

// The module's entry point, or nullptr (with the reason on stderr). `path`
// is ignored where the gateway is linked in.
StandinMexFunction loadModule(const char* path);

}  // namespace quillmere::testing

#endif  // QUILLMERE_TESTS_WINDOWS_MODULE_LOADING_H

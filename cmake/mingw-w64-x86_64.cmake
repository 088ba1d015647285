# Cross-build for 64-bit Windows with Debian's mingw-w64 (POSIX-thread
# flavour, so std::thread works). The runtime is linked statically: MATLAB
# ships no libstdc++/libgcc/winpthread DLLs, and a module that needs them
# fails to load.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
find_program(_mingw_cxx NAMES ${_triple}-g++-posix ${_triple}-g++ REQUIRED)
find_program(_mingw_cc NAMES ${_triple}-gcc-posix ${_triple}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${_mingw_cxx})
set(CMAKE_C_COMPILER ${_mingw_cc})
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_OBJDUMP ${_triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

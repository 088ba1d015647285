# Cross-build for 64-bit ARM Linux with Debian's cross compiler; programs run
# under qemu's user-mode emulator with the cross toolchain's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_triple aarch64-linux-gnu)
find_program(_arm_cxx NAMES ${_triple}-g++ REQUIRED)
find_program(_arm_cc NAMES ${_triple}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${_arm_cxx})
set(CMAKE_C_COMPILER ${_arm_cc})

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(_qemu NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu} -L /usr/${_triple})

# Cross-compiles the project for macOS with Zig, which carries macOS's C
# library headers, libSystem's link stubs and libc++. scripts/cross-macos
# sets it up; by hand:
#   cmake -S . -B DIR -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#         -DOSTREL_ZIG_WRAPPERS=FOLDER -DOSTREL_MACOS_ARCH=aarch64|x86_64
# where FOLDER holds four wrappers: c++ (zig c++ -target ARCH-macos...),
# cc (zig cc, likewise), ar (zig ar) and ranlib (zig ranlib).

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR "${OSTREL_MACOS_ARCH}")
# Try-compiles read this file again and need the same two values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OSTREL_ZIG_WRAPPERS OSTREL_MACOS_ARCH)

set(CMAKE_CXX_COMPILER "${OSTREL_ZIG_WRAPPERS}/c++")
set(CMAKE_C_COMPILER "${OSTREL_ZIG_WRAPPERS}/cc")
set(CMAKE_AR "${OSTREL_ZIG_WRAPPERS}/ar" CACHE FILEPATH "Archiver" FORCE)
set(CMAKE_RANLIB "${OSTREL_ZIG_WRAPPERS}/ranlib" CACHE FILEPATH "Archive indexer" FORCE)

# Nothing of the build machine's own libraries or headers may be found.
set(CMAKE_FIND_ROOT_PATH "${OSTREL_ZIG_WRAPPERS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Cross-build for 64-bit Arm Linux (Debian arm64, Raspberry Pi OS 64-bit) with
# Debian's aarch64-linux-gnu toolchain and the arm64 libraries of multiarch
# (dpkg --add-architecture arm64; libc6-dev:arm64, libstdc++-12-dev:arm64 and the like).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Libraries and headers from the arm64 multiarch folders only; programs (pkg-config)
# and header-only CMake packages (/usr/share/cmake) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config reads the arm64 .pc files alone, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Test programs run under user-mode QEMU; the arm64 loader and libraries come from
# the multiarch folders (libc6:arm64 puts the loader in /lib).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
# The package's Depends: dpkg-shlibdeps reads the arm64 libraries' symbols files.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)

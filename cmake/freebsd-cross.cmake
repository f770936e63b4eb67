# Cross-building for FreeBSD/amd64 with clang against a FreeBSD root given as
# FREEBSD_SYSROOT (an installed world, e.g. the test VM's staging root), whose
# libc++ and /usr/local packages ({fmt}) are used, never the host's.
#   FREEBSD_SYSROOT=ROOT cmake -S . -B build-freebsd -DCMAKE_TOOLCHAIN_FILE=cmake/freebsd-cross.cmake
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.2)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSROOT "$ENV{FREEBSD_SYSROOT}")
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-freebsd14.0)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${CMAKE_SYSROOT}/usr/include/c++/v1")
set(CMAKE_FIND_ROOT_PATH "${CMAKE_SYSROOT}/usr/local" "${CMAKE_SYSROOT}/usr")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)

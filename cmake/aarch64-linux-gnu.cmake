# Cross build for 64-bit ARM Linux with Debian's g++-16-aarch64-linux-gnu, against
# an arm64 sysroot of unpacked Debian packages (tools/arm64-sysroot): its Python
# headers, python-config and libnettle.a. Set REDERODIDIZO_SYSROOT (CMake variable
# or environment) to that sysroot, and REDERODIDIZO_TARGET_PYTHON to the CPython
# version to build for (3.14 when unset).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++-16)

if(NOT REDERODIDIZO_SYSROOT)
  set(REDERODIDIZO_SYSROOT "$ENV{REDERODIDIZO_SYSROOT}")
endif()
if(NOT IS_DIRECTORY "${REDERODIDIZO_SYSROOT}/usr/include")
  message(FATAL_ERROR "REDERODIDIZO_SYSROOT must name an arm64 sysroot (got '${REDERODIDIZO_SYSROOT}')")
endif()
if(NOT REDERODIDIZO_TARGET_PYTHON)
  set(REDERODIDIZO_TARGET_PYTHON "$ENV{REDERODIDIZO_TARGET_PYTHON}")
endif()
if(NOT REDERODIDIZO_TARGET_PYTHON)
  set(REDERODIDIZO_TARGET_PYTHON 3.14)
endif()
# try_compile projects read this file again: hand them the sysroot and version too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES REDERODIDIZO_SYSROOT REDERODIDIZO_TARGET_PYTHON)

# The compiler keeps its own C library and C++ runtime (the arm64 cross packages);
# the sysroot only adds what they lack. -idirafter puts its headers after the
# compiler's own, so libc's and libstdc++'s headers stay the compiler's while
# Python's multiarch pyconfig.h comes from the sysroot (Python.h itself comes from
# FindPython's include directory below). Debian's cross compiler also searches the
# build machine's /usr/include, so <nettle/...> may be found there first: nettle-dev
# is Multi-Arch: same, its headers are the same files on every architecture.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${REDERODIDIZO_SYSROOT}/usr/include")
set(CMAKE_FIND_ROOT_PATH "${REDERODIDIZO_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# FindPython asks the target's own interpreter, run under qemu-user, for the
# extension suffix (cpython-314-aarch64-linux-gnu for 3.14) and the include directory; the
# build machine's interpreter would name the module for itself. Started from the
# sysroot, it reports the sysroot's paths.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${REDERODIDIZO_SYSROOT}")
set(Python_EXECUTABLE "${REDERODIDIZO_SYSROOT}/usr/bin/python${REDERODIDIZO_TARGET_PYTHON}")
set(ENV{PKG_CONFIG_LIBDIR} "${REDERODIDIZO_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${REDERODIDIZO_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${REDERODIDIZO_SYSROOT}")
# Keep the sysroot's /usr/include out of -I: it holds a second copy of libc's headers.
set(ENV{PKG_CONFIG_SYSTEM_INCLUDE_PATH} "${REDERODIDIZO_SYSROOT}/usr/include")

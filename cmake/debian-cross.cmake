# Cross build with Debian's cross compilers and multiarch libraries, included
# by the toolchain files beside it once they have set MHW2_CROSS_TRIPLET
# (e.g. arm-linux-gnueabihf) and CMAKE_SYSTEM_PROCESSOR.
#
# Debian installs a target's libraries (libsqlite3-dev:armhf and friends) in
# /usr/lib/<triplet> and their headers in /usr/include, beside the host's;
# the cross compiler's own C and C++ libraries live in /usr/<triplet>. There
# is no separate sysroot: CMake searches /usr/lib/<triplet> for the target's
# libraries, and the host's in /usr/lib/<host triplet> stay out of sight.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${MHW2_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MHW2_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MHW2_CROSS_TRIPLET})
# armhf notes that GCC 7 changed how some C++ iterators are passed; only
# C++ code built by an older GCC could meet that, and the library's
# interface is C.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# pkg-config reads the target's .pc files only, never the host's: a missing
# libsqlite3-dev:<arch> then fails the configure instead of linking the
# host's library into a target program.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${MHW2_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Where the target's libsqlite3-dev could not be installed beside the host's
# packages, scripts/cross.sh unpacks it (with libsqlite3-0) into a directory
# of its own, laid out as /: -DMHW2_CROSS_DEV_ROOT=DIR reads SQLite from there.
# The compiler checks read this file again in the same process: they get
# the directory too, or they would set the environment back.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MHW2_CROSS_DEV_ROOT)
if(MHW2_CROSS_DEV_ROOT)
  set(ENV{PKG_CONFIG_LIBDIR} ${MHW2_CROSS_DEV_ROOT}/usr/lib/${MHW2_CROSS_TRIPLET}/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${MHW2_CROSS_DEV_ROOT})
  set(ENV{PKG_CONFIG_ALLOW_SYSTEM_CFLAGS} 1)
  set(ENV{PKG_CONFIG_ALLOW_SYSTEM_LIBS} 1)
endif()

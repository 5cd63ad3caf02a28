# Debian mipsel: MIPS little-endian (MIPS32 release 2, o32).
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake -DMHW2_TESTS=OFF ...
# needs g++-mipsel-linux-gnu and libsqlite3-dev:mipsel (make cross ARCH=mipsel installs them).
set(MHW2_CROSS_TRIPLET mipsel-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Debian arm64: 64-bit ARM (ARMv8-A).
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake -DMHW2_TESTS=OFF ...
# needs g++-aarch64-linux-gnu and libsqlite3-dev:arm64 (make cross ARCH=arm64 installs them).
set(MHW2_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

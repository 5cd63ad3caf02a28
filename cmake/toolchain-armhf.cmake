# Debian armhf: ARM hard-float (ARMv7-A and later, VFPv3-D16).
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DMHW2_TESTS=OFF ...
# needs g++-arm-linux-gnueabihf and libsqlite3-dev:armhf (make cross ARCH=armhf installs them).
set(MHW2_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Debian's 32-bit ARM (hard-float) cross toolchain and the armhf libraries of multiarch.
set(VELTRANO_TRIPLET arm-linux-gnueabihf)
set(VELTRANO_DEB_ARCH armhf)
set(VELTRANO_QEMU qemu-arm-static)
set(CMAKE_SYSTEM_PROCESSOR arm)
# GCC notes every function whose argument passing changed in GCC 7.1; all code here is built
# by one compiler, so the notes say nothing, and -Werror must not take them for warnings.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)

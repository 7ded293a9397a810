# Debian's 64-bit ARM cross toolchain and the arm64 libraries of multiarch.
set(VELTRANO_TRIPLET aarch64-linux-gnu)
set(VELTRANO_DEB_ARCH arm64)
set(VELTRANO_QEMU qemu-aarch64-static)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)

# Shared part of the ARM toolchain files: the target's compilers and libraries from Debian's
# multiarch folders, the build machine's own moc and qdbusxml2cpp, and qemu-user to run the
# target's programs (the tests) on the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELTRANO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELTRANO_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VELTRANO_TRIPLET})

set(CMAKE_FIND_ROOT_PATH /usr/${VELTRANO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VELTRANO_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(QT_HOST_PATH /usr)

find_program(VELTRANO_QEMU_PATH ${VELTRANO_QEMU} REQUIRED)
# No -L: the dynamic loader and the C library must come from one glibc build. With
# "-L /usr/TRIPLET" the loader is the cross package's (libc6-TARGET-cross) while libc.so.6 and
# Qt come from multiarch (libc6:TARGET); the two disagree on the loader's private data, and
# the first new thread (Qt Test's watchdog) spins forever on a lock, deaf to SIGTERM.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELTRANO_QEMU_PATH})

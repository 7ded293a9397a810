# The Debian package veltrano-usb_<version>_<arch>.deb: `cpack -G DEB` in a build configured
# with the prefix /usr (scripts/cross makes it for the board's architectures).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltrano-usb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Veltrano USB service developers <veltrano-usb@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB-stick service of the Veltrano metering computer")
set(CPACK_PACKAGE_DESCRIPTION "Mounts USB mass-storage sticks at /mnt/usbstick, looks for the
product's update, database and logbook folders and publishes what it found
to the metering core over D-Bus; unmounts a stick when a peer asks for it.
Comes with the operator tool veltrano-usbctl and the metering-core
simulator veltrano-core-sim.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# The settings in /etc and the unit are placed by absolute paths: stage them, never the machine's.
# The package's prefix is /usr whatever the build was configured with.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# The architecture of the code, not of the machine that packs it.
if(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VELTRANO_DEB_ARCH})
endif()
# Debian's Qt 6 and libudev packages, with the versions that the binaries' symbols need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/postrm ${CMAKE_CURRENT_BINARY_DIR}/debian/postrm COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/conffiles ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles
    ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst
    ${CMAKE_CURRENT_BINARY_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_VELTRANO_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/prebuild.cmake)

include(CPack)

# Two Debian packages from one `cpack -G DEB`, in a build configured with the prefix /usr
# (scripts/cross makes them for the board's architectures), one per install component:
#   veltrano-usb_<version>_<arch>.deb        the service, its unit, settings and veltrano-usbctl
#   veltrano-usb-tools_<version>_<arch>.deb  the metering-core simulator, a desk tool

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltrano-usb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Veltrano USB service developers <veltrano-usb@example.com>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service tools)
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
# Debian's Qt 6, libudev and libsystemd packages, with the versions that the binaries' symbols need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME veltrano-usb)
# The first line is the synopsis; cpack indents the rest.
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "USB-stick service of the Veltrano metering computer
Mounts USB mass-storage sticks at /mnt/usbstick, looks for the
product's update, database and logbook folders and publishes what it found
to the metering core over D-Bus; unmounts a stick when a peer asks for it.
Comes with the operator tool veltrano-usbctl.")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS veltrano-usb-tools)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME veltrano-usb-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "desk tools for the Veltrano USB-stick service
veltrano-core-sim stands in for the Veltrano metering core on a live D-Bus
bus: it prints every record the USB-stick service publishes, sends it the
core's signals and can be made to misbehave on purpose.")
# Earlier versions of veltrano-usb shipped the simulator themselves.
set(CPACK_DEBIAN_TOOLS_PACKAGE_BREAKS "veltrano-usb (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_REPLACES "veltrano-usb (<< ${PROJECT_VERSION})")

# The maintainer scripts of the service as Debian's helpers write them, see debian/.
foreach(sFile conffiles postinst prerm postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${sFile} ${CMAKE_CURRENT_BINARY_DIR}/debian/${sFile} COPYONLY)
    list(APPEND lControlExtra ${CMAKE_CURRENT_BINARY_DIR}/debian/${sFile})
endforeach()
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${lControlExtra})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_VELTRANO_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/prebuild.cmake)

include(CPack)

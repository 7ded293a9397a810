# Run by `cmake --install` (see CMakeLists.txt beside it). The unit's ExecStart and the
# settings folder follow the prefix in force now, which --prefix may have changed since the
# build was configured. file(INSTALL) puts $DESTDIR in front by itself; the existence check
# below has to do that on its own.

string(REGEX REPLACE "/$" "" sPrefix "${CMAKE_INSTALL_PREFIX}")

function(veltrano_below_prefix sOut sDir)
    if(IS_ABSOLUTE "${sDir}")
        set(${sOut} "${sDir}" PARENT_SCOPE)
    else()
        set(${sOut} "${sPrefix}/${sDir}" PARENT_SCOPE)
    endif()
endfunction()

# The settings folder as GNUInstallDirs places it: /etc for the prefixes / and /usr,
# /etc/opt/<name> for /opt/<name>, else below the prefix.
function(veltrano_sysconfdir sOut)
    if(IS_ABSOLUTE "${VELTRANO_SYSCONFDIR}")
        set(${sOut} "${VELTRANO_SYSCONFDIR}" PARENT_SCOPE)
    elseif(sPrefix MATCHES "^(/usr)?$")
        set(${sOut} "/${VELTRANO_SYSCONFDIR}" PARENT_SCOPE)
    elseif(sPrefix MATCHES "^/opt/")
        set(${sOut} "/${VELTRANO_SYSCONFDIR}${sPrefix}" PARENT_SCOPE)
    else()
        set(${sOut} "${sPrefix}/${VELTRANO_SYSCONFDIR}" PARENT_SCOPE)
    endif()
endfunction()

veltrano_below_prefix(VELTRANO_SBIN_PATH "${VELTRANO_SBINDIR}")
veltrano_below_prefix(sUnitDir "${VELTRANO_UNITDIR}")
configure_file("${VELTRANO_DIST_SOURCE_DIR}/veltrano-usb.service.in"
               "${VELTRANO_DIST_BINARY_DIR}/veltrano-usb.service" @ONLY)
file(INSTALL DESTINATION "${sUnitDir}" TYPE FILE FILES "${VELTRANO_DIST_BINARY_DIR}/veltrano-usb.service")

# The settings belong to the machine once installed: an existing usb.ini is never replaced.
veltrano_sysconfdir(sSettingsDir)
set(sSettingsDir "${sSettingsDir}/Veltrano")
if(EXISTS "$ENV{DESTDIR}${sSettingsDir}/usb.ini")
    message(STATUS "Keeping: $ENV{DESTDIR}${sSettingsDir}/usb.ini")
else()
    file(INSTALL DESTINATION "${sSettingsDir}" TYPE FILE FILES "${VELTRANO_DIST_SOURCE_DIR}/usb.ini")
endif()

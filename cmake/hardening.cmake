# Debian's default hardening flags, from dpkg-buildflags for the architecture built for (the
# toolchain files name it): stack protector, format checks, _FORTIFY_SOURCE, full RELRO and
# BIND_NOW. Optimisation and debug flags stay with CMAKE_BUILD_TYPE, and the file prefix map is
# left out so that the test programs keep their source paths.
function(veltrano_buildflags sFlag sResult)
    set(lEnvironment DEB_BUILD_MAINT_OPTIONS=hardening=+all)
    if(VELTRANO_DEB_ARCH)
        list(APPEND lEnvironment DEB_HOST_ARCH=${VELTRANO_DEB_ARCH})
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${lEnvironment} dpkg-buildflags --get ${sFlag}
        OUTPUT_VARIABLE sFlags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(lFlags UNIX_COMMAND "${sFlags}")
    list(FILTER lFlags EXCLUDE REGEX "^(-g|-O[0-9s]?|-ffile-prefix-map=.*)$")
    set(${sResult} ${lFlags} PARENT_SCOPE)
endfunction()

veltrano_buildflags(CPPFLAGS lCppFlags)
veltrano_buildflags(CXXFLAGS lCxxFlags)
veltrano_buildflags(LDFLAGS lLdFlags)

# _FORTIFY_SOURCE needs optimisation (-O0 makes glibc warn, -Werror fails), and under the
# sanitizers the fortified calls would bypass their interceptors: those builds leave it out.
if(VELTRANO_SANITIZE OR VELTRANO_TSAN OR VELTRANO_FUZZ)
    list(FILTER lCppFlags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
else()
    list(TRANSFORM lCppFlags REPLACE "^(-D_FORTIFY_SOURCE.*)$" "$<$<NOT:$<CONFIG:Debug>>:\\1>")
endif()

add_compile_options(${lCppFlags} ${lCxxFlags})
add_link_options(${lLdFlags})
# Position-independent executables, whatever the compiler's default.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()

# Run by cpack on the staged files before they are packed: what a Debian package has beyond
# the installation, i.e. compressed man pages, the copyright file and a changelog.
set(sRoot "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(sDoc "${sRoot}/usr/share/doc/veltrano-usb")

file(GLOB_RECURSE lManPages "${sRoot}/usr/share/man/*.[1-8]")
foreach(sPage IN LISTS lManPages)
    execute_process(COMMAND gzip -9nf "${sPage}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# file(COPY), unlike file(INSTALL), does not put DESTDIR in front a second time.
file(COPY "${CPACK_VELTRANO_DEBIAN_DIR}/copyright" DESTINATION "${sDoc}")
string(TIMESTAMP sDate "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${sDoc}/changelog" "veltrano-usb (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${sDate}
")
execute_process(COMMAND gzip -9nf "${sDoc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

# Run by cpack on the staged files before they are packed: what a Debian package has beyond
# the installation, i.e. compressed man pages, the copyright file and a changelog. Each
# component is staged in a folder of its own and becomes a package of its own.
string(TIMESTAMP sDate "%a, %d %b %Y %H:%M:%S +0000" UTC)

foreach(sComponent IN LISTS CPACK_COMPONENTS_ALL)
    set(sRoot "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${sComponent}")
    string(TOUPPER "${sComponent}" sUpper)
    set(sPackage "${CPACK_DEBIAN_${sUpper}_PACKAGE_NAME}")
    set(sDoc "${sRoot}/usr/share/doc/${sPackage}")

    file(GLOB_RECURSE lManPages "${sRoot}/usr/share/man/*.[1-8]")
    foreach(sPage IN LISTS lManPages)
        execute_process(COMMAND gzip -9nf "${sPage}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()

    # file(COPY), unlike file(INSTALL), does not put DESTDIR in front a second time.
    file(COPY "${CPACK_VELTRANO_DEBIAN_DIR}/copyright" DESTINATION "${sDoc}")
    file(WRITE "${sDoc}/changelog" "${sPackage} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${sDate}
")
    execute_process(COMMAND gzip -9nf "${sDoc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

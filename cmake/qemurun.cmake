# A cross build whose tests run under qemu-user runs them through qemurun (see qemurun.c),
# a program of the build machine made here by its own compiler.
if(CMAKE_CROSSCOMPILING_EMULATOR MATCHES "qemu-")
    set(sQemuRun ${CMAKE_BINARY_DIR}/qemurun)
    execute_process(
        COMMAND cc -O2 -Wall -Wextra -Werror -o ${sQemuRun} ${CMAKE_CURRENT_LIST_DIR}/qemurun.c
        RESULT_VARIABLE iResult)
    if(NOT iResult EQUAL 0)
        message(FATAL_ERROR "qemurun: the build machine's C compiler (cc) could not build it")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/qemurun.c)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${sQemuRun} ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()

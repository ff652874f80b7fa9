# vorn_add_test(<name> SOURCES <files...> [LIBRARIES <targets...>] [NETNS] [MOUNTNS]
#               [ENVIRONMENT <VAR=value...>] [TIMEOUT <seconds>])
#
# Builds one QtTest program and registers it with CTest. NETNS runs it in a private
# network namespace with only loopback up, so it may bind ports 80 and 443 without
# root and without colliding with anything on the machine. MOUNTNS adds a private
# mount namespace, for tests that mount a small tmpfs to fill a disk.
function(vorn_add_test name)
    cmake_parse_arguments(ARG "NETNS;MOUNTNS" "TIMEOUT" "SOURCES;LIBRARIES;ENVIRONMENT" ${ARGN})
    qt_add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBRARIES})
    set(command $<TARGET_FILE:${name}>)
    if(ARG_NETNS OR ARG_MOUNTNS)
        set(flags --map-root-user)
        set(script "exec \"$@\"")
        if(ARG_NETNS)
            list(APPEND flags --net)
            set(script "ip link set lo up && ${script}")
        endif()
        if(ARG_MOUNTNS)
            list(APPEND flags --mount)
        endif()
        set(command unshare ${flags} sh -c "${script}" sh ${command})
    endif()
    add_test(NAME ${name} COMMAND ${command})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${ARG_ENVIRONMENT}")
endfunction()

# vorn_add_test(<name> SOURCES <files...> [LIBRARIES <targets...>] [NETNS] [MOUNTNS]
#               [OTHERUSERS] [ENVIRONMENT <VAR=value...>] [TIMEOUT <seconds>])
#
# Builds one QtTest program and registers it with CTest. NETNS runs it in a private
# network namespace with only loopback up, so it may bind ports 80 and 443 without
# root and without colliding with anything on the machine. MOUNTNS adds a private
# mount namespace, for tests that mount a small tmpfs to fill a disk. OTHERUSERS keeps the
# real root in those namespaces when run as root, so that the test may act as another user
# too (in a user namespace only root exists).
function(vorn_add_test name)
    cmake_parse_arguments(ARG "NETNS;MOUNTNS;OTHERUSERS" "TIMEOUT" "SOURCES;LIBRARIES;ENVIRONMENT"
        ${ARGN})
    qt_add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBRARIES})
    set(command $<TARGET_FILE:${name}>)
    if(ARG_NETNS OR ARG_MOUNTNS)
        set(flags)
        set(script "exec \"$@\"")
        if(ARG_NETNS)
            list(APPEND flags --net)
            set(script "ip link set lo up && ${script}")
        endif()
        if(ARG_MOUNTNS)
            list(APPEND flags --mount)
        endif()
        if(ARG_OTHERUSERS)
            list(JOIN flags " " flags)
            set(command sh -c "exec unshare $([ \"$(id -u)\" = 0 ] || echo --map-root-user) \
${flags} sh -c '${script}' sh \"$@\"" sh ${command})
        else()
            set(command unshare --map-root-user ${flags} sh -c "${script}" sh ${command})
        endif()
    endif()
    add_test(NAME ${name} COMMAND ${command})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    # The updater's state stays in the build, and only the tests of reports turn them on.
    set(test_state "XDG_STATE_HOME=${CMAKE_BINARY_DIR}/test-state;VORN_NO_REPORTS=1")
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${test_state};${ARG_ENVIRONMENT}")
endfunction()

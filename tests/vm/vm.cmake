# Tests that boot QEMU guests (tests/vm/run-vm.sh), all labelled "vm":
#  - vm-i386:daemon_* (i386 build): the static daemon on a real i386 kernel's
#    /dev/psaux, with a button pressed through QEMU's monitor;
#  - i386:NAME (i386 build): every test program of the build, run inside the
#    i386 guest by one boot (i386:suite_boot), one CTest test per program;
#  - vm-amd64:daemon_* (native build, with MOX_VM_TESTS_AMD64=ON): the daemon
#    on the amd64 kernel;
#  - vm-amd64:NAME (native build, with MOX_VM_GUEST_TESTS=ON): programs that
#    run only in the amd64 test guest, declared in guest.cmake.
# A test program that cannot run in the guest gets the target property
# MOX_VM_HOST_ONLY set to the reason; MOX_VM_ARGS gives its arguments there
# and MOX_VM_TIMEOUT its time limit in seconds (default 300).
option(MOX_TESTS_IN_VM "Run the test programs inside an i386 QEMU guest" OFF)
option(MOX_VM_TESTS_AMD64 "Also run the daemon tests on an amd64 QEMU guest" OFF)

set(MOX_VM_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/run-vm.sh)

# Record layout and word size, on whichever machine runs the tests.
add_executable(record_layout_test ${CMAKE_CURRENT_LIST_DIR}/record_layout_test.cpp)
target_include_directories(record_layout_test PRIVATE ${PROJECT_SOURCE_DIR}/src/headers)
target_link_libraries(record_layout_test PRIVATE GTest::gtest_main mox_warnings)
gtest_discover_tests(record_layout_test)

# mox_vm_daemon_tests(ARCH): one boot per button, plus one without a press.
function(mox_vm_daemon_tests arch)
    foreach(button left right middle none)
        add_test(NAME vm-${arch}:daemon_${button}
            COMMAND ${MOX_VM_SCRIPT} daemon --arch ${arch} --button ${button} --expect ${button}
                    ${CMAKE_BINARY_DIR})
        set_tests_properties(vm-${arch}:daemon_${button} PROPERTIES
            LABELS vm TIMEOUT 300 RESOURCE_LOCK mox_vm)
    endforeach()
endfunction()

if(MOX_TESTS_IN_VM)
    mox_vm_daemon_tests(i386)

    # The guest's run list: every executable of this directory that links
    # GoogleTest, and the executables of the whole build that tests may run
    # by path, copied into the guest at the same absolute paths.
    set(run_list "")
    set(file_list "")
    get_property(test_targets DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} PROPERTY BUILDSYSTEM_TARGETS)
    # Every directory declared so far, from the top.
    set(dirs ${PROJECT_SOURCE_DIR})
    set(pending ${PROJECT_SOURCE_DIR})
    while(pending)
        list(POP_FRONT pending dir)
        get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
        list(APPEND dirs ${subdirs})
        list(APPEND pending ${subdirs})
    endwhile()
    foreach(dir ${dirs})
        get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
        foreach(t ${targets})
            get_target_property(type ${t} TYPE)
            if(type STREQUAL "EXECUTABLE")
                string(APPEND file_list "$<TARGET_FILE:${t}>\n")
            endif()
        endforeach()
    endforeach()
    get_property(dir_tests DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} PROPERTY TESTS)
    foreach(t ${test_targets})
        get_target_property(type ${t} TYPE)
        get_target_property(libs ${t} LINK_LIBRARIES)
        if(NOT type STREQUAL "EXECUTABLE")
            continue()
        endif()
        # A test program: it links GoogleTest, or it is run on its own by a
        # test of the same name (a plain C program, say).
        if(NOT "${libs}" MATCHES "gtest|GTest|gmock" AND NOT t IN_LIST dir_tests)
            continue()
        endif()
        set(skip_code "")
        if(t IN_LIST dir_tests)
            get_test_property(${t} SKIP_RETURN_CODE skip_code)
        endif()
        get_target_property(host_only ${t} MOX_VM_HOST_ONLY)
        if(host_only)
            add_test(NAME i386:${t} COMMAND ${CMAKE_COMMAND} -E echo "host-only: ${host_only}")
            set_tests_properties(i386:${t} PROPERTIES LABELS vm DISABLED TRUE)
            continue()
        endif()
        get_target_property(args ${t} MOX_VM_ARGS)
        get_target_property(limit ${t} MOX_VM_TIMEOUT)
        if(NOT limit)
            set(limit 300)
        endif()
        set(line "${t}\t${limit}\t-\t$<TARGET_FILE:${t}>")
        if(args)
            foreach(a ${args})
                string(APPEND line "\t${a}")
            endforeach()
        endif()
        string(APPEND run_list "${line}\n")
        add_test(NAME i386:${t} COMMAND ${MOX_VM_SCRIPT} result ${CMAKE_BINARY_DIR} ${t})
        set_tests_properties(i386:${t} PROPERTIES LABELS vm FIXTURES_REQUIRED mox_vm_suite)
        if(skip_code)
            set_tests_properties(i386:${t} PROPERTIES SKIP_RETURN_CODE ${skip_code})
        endif()
    endforeach()
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm-tests.list CONTENT "${run_list}")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm-files.list CONTENT "${file_list}")

    add_test(NAME i386:suite_boot COMMAND ${MOX_VM_SCRIPT} suite ${CMAKE_BINARY_DIR})
    set_tests_properties(i386:suite_boot PROPERTIES
        LABELS vm FIXTURES_SETUP mox_vm_suite TIMEOUT 1200 RESOURCE_LOCK mox_vm)
endif()

if(MOX_VM_TESTS_AMD64)
    mox_vm_daemon_tests(amd64)
endif()

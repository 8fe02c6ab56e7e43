# Test programs that run inside the amd64 test guest (tests/vm/run-vm.sh
# guest), with the support library they are written against (tests/vm/guest).
# Built by every native 64-bit build; registered with CTest only through the
# runner, and only with MOX_VM_GUEST_TESTS=ON (label "vm"): on the build host
# they would touch its consoles, so each one also refuses to run there.
#
# mox_vm_guest_test(TARGET [TIMEOUT SECONDS] [FILES FILE...] [ARGS ARG...]
#                   [ENV NAME=VALUE...])
# registers the test vm-amd64:TARGET: one boot runs the program TARGET with
# ARGS as root, with FILES (target names or absolute paths: programs, with
# their libraries, or folders) copied into the guest at the same paths, and
# passes its exit status on (77: skipped). TARGET links mox_vm_guest_main
# (GoogleTest's main for the guest) or provides its own.
option(MOX_VM_GUEST_TESTS "Run the guest-only test programs in the amd64 QEMU guest" OFF)

set(MOX_VM_GUEST_RUNNER ${CMAKE_CURRENT_LIST_DIR}/run-vm.sh)
set(MOX_VM_GUEST_OK OFF)
if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND NOT CMAKE_CROSSCOMPILING)
    find_package(PkgConfig)
    if(PkgConfig_FOUND)
        pkg_check_modules(MOX_GUEST_LIBS IMPORTED_TARGET libinput libevdev libudev)
    endif()
    if(MOX_GUEST_LIBS_FOUND)
        set(MOX_VM_GUEST_OK ON)
    else()
        message(WARNING "libinput, libevdev or libudev not found: the guest tests are not built "
                        "(scripts/deps.sh installs them)")
    endif()
endif()

if(MOX_VM_GUEST_OK)
    set(guest_dir ${CMAKE_CURRENT_LIST_DIR}/guest)
    add_library(mox_vm_guest STATIC ${guest_dir}/guest_env.cpp ${guest_dir}/guest_input.cpp
                                    ${guest_dir}/guest_console.cpp ${guest_dir}/guest_proc.cpp)
    target_include_directories(mox_vm_guest PUBLIC ${guest_dir})
    target_link_libraries(mox_vm_guest PUBLIC PkgConfig::MOX_GUEST_LIBS mox_warnings)

    add_library(mox_vm_guest_main STATIC ${guest_dir}/guest_main.cpp)
    target_link_libraries(mox_vm_guest_main PUBLIC mox_vm_guest GTest::gtest)

    # Everything the guest tests need, so that a build for them alone can be
    # asked for (cmake --build DIR --target vm_guest_programs).
    add_custom_target(vm_guest_programs)

    function(mox_vm_guest_test target)
        cmake_parse_arguments(ARG "" "TIMEOUT" "FILES;ARGS;ENV" ${ARGN})
        if(NOT ARG_TIMEOUT)
            set(ARG_TIMEOUT 300)
        endif()
        add_dependencies(vm_guest_programs ${target})
        set(options --timeout ${ARG_TIMEOUT})
        foreach(f ${ARG_FILES})
            if(IS_ABSOLUTE ${f})
                list(APPEND options --file ${f})
            else()
                list(APPEND options --file $<TARGET_FILE:${f}>)
                add_dependencies(vm_guest_programs ${f})
            endif()
        endforeach()
        foreach(e ${ARG_ENV})
            list(APPEND options --env ${e})
        endforeach()
        if(MOX_VM_GUEST_TESTS)
            # The boot and the guest's own limit come on top of the program's.
            math(EXPR limit "${ARG_TIMEOUT} + 180")
            add_test(NAME vm-amd64:${target}
                COMMAND ${MOX_VM_GUEST_RUNNER} guest ${options} ${CMAKE_BINARY_DIR}
                        $<TARGET_FILE:${target}> ${ARG_ARGS})
            set_tests_properties(vm-amd64:${target} PROPERTIES
                LABELS vm RESOURCE_LOCK mox_vm TIMEOUT ${limit} SKIP_RETURN_CODE 77)
        endif()
    endfunction()

    # The facts the server relies on, checked against the guest's kernel.
    add_executable(guest_helper ${guest_dir}/guest_helper.cpp)
    target_link_libraries(guest_helper PRIVATE mox_warnings)
    add_executable(guest_facts_test ${CMAKE_CURRENT_LIST_DIR}/guest_facts_test.cpp)
    target_link_libraries(guest_facts_test PRIVATE mox_vm_guest_main)
    target_compile_definitions(guest_facts_test PRIVATE
        GUEST_HELPER_PATH="$<TARGET_FILE:guest_helper>" GUEST_SUPPORT_DIR="${guest_dir}")
    mox_vm_guest_test(guest_facts_test TIMEOUT 300 FILES guest_helper ${guest_dir}
                      ENV "MOX_GUEST_SETTING=passed in")

    # The library's own logic, on the build host: no device is touched.
    add_executable(guest_support_test ${CMAKE_CURRENT_LIST_DIR}/guest_support_test.cpp)
    target_link_libraries(guest_support_test PRIVATE mox_vm_guest GTest::gtest_main)
    gtest_discover_tests(guest_support_test DISCOVERY_TIMEOUT 30)
endif()

# moxd end to end in the guest, and its benchmark beside the bare floor.
if(MOX_VM_GUEST_OK AND TARGET moxd AND TARGET mox-client)
    add_executable(moxd_e2e_test ${CMAKE_CURRENT_LIST_DIR}/moxd_e2e_test.cpp)
    target_include_directories(moxd_e2e_test PRIVATE ${PROJECT_SOURCE_DIR}/src/headers)
    target_link_libraries(moxd_e2e_test PRIVATE mox_vm_guest_main mox_testsupport mox-client-lib)
    target_compile_definitions(moxd_e2e_test PRIVATE MOXD_PATH="$<TARGET_FILE:moxd>"
                                                     MOX_CLIENT_PATH="$<TARGET_FILE:mox-client>")
    mox_vm_guest_test(moxd_e2e_test TIMEOUT 600 FILES moxd mox-client)
endif()

# The guest half of ./scripts/demo.sh.
if(MOX_VM_GUEST_OK AND TARGET moxd AND TARGET mox-client)
    add_executable(moxd_demo ${CMAKE_CURRENT_LIST_DIR}/moxd_demo.cpp)
    target_link_libraries(moxd_demo PRIVATE mox_vm_guest)
    target_compile_definitions(moxd_demo PRIVATE MOXD_PATH="$<TARGET_FILE:moxd>"
                                                 MOX_CLIENT_PATH="$<TARGET_FILE:mox-client>")
    set_target_properties(moxd_demo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()

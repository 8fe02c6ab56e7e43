# The example server and client driven end to end, in a private /dev. The
# examples directory builds mox-refserver whenever both modules exist; the
# targets are named through generator expressions, so the order in which the
# examples and tests directories are added does not matter.
set(MOX_HAVE_EXAMPLES OFF)
if(TARGET client_obj AND TARGET argsift_obj AND EXISTS ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt)
    set(MOX_HAVE_EXAMPLES ON)
endif()
if(MOX_HAVE_EXAMPLES)
    add_executable(examples_test ${CMAKE_CURRENT_LIST_DIR}/examples_test.cpp)
    target_link_libraries(examples_test PRIVATE mox_testsupport GTest::gtest mox_warnings)
    target_include_directories(examples_test PRIVATE ${PROJECT_SOURCE_DIR}/src/headers)
    target_compile_definitions(examples_test PRIVATE
        MOX_REFSERVER_PATH="$<TARGET_FILE:mox-refserver>"
        MOX_CLIENT_PATH="$<TARGET_FILE:mox-client>")
    add_dependencies(examples_test mox-refserver mox-client)
    gtest_discover_tests(examples_test DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
endif()

# The demo, run as a user would run it; 77 (not root) counts as skipped.
if(MOX_HAVE_EXAMPLES)
    add_test(NAME examples_demo
        COMMAND bash -c "out=$(\"$0\" \"$1\") || exit $?; shift; printf '%s\\n' \"$out\"; for want in \"$@\"; do printf '%s\\n' \"$out\" | grep -qxF -- \"$want\" || { echo \"missing: $want\"; exit 1; }; done"
            ${PROJECT_SOURCE_DIR}/examples/demo.sh ${CMAKE_BINARY_DIR}
            "event 3: console 2 down x=41 y=12 buttons=0x04 mod=0x00 -> finished by a client; paste off"
            "event 6: console 2 up x=43 y=13 buttons=0x00 mod=0x00 -> default handling applies; paste off"
            "[A] event move console 2 x=41 y=12 dx=1 dy=0 buttons=0x00 mod=0x00 clicks=0 margin=none"
            "[B] event move console 2 x=42 y=12 dx=1 dy=0 buttons=0x00 mod=0x04 clicks=0 margin=none"
            "[B] SIGWINCH: the console was resized")
    set_tests_properties(examples_demo PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()

# The manual pages render without groff warnings.
find_program(MOX_GROFF groff)
if(MOX_GROFF)
    foreach(page mox2-daemon.8 mox-refserver.1 mox-client.1 moxd.8)
        add_test(NAME man_${page}
            COMMAND bash -c "w=$(\"$0\" -man -Tutf8 -ww -z \"$1\" 2>&1); [ -z \"$w\" ] || { printf '%s\\n' \"$w\"; exit 1; }"
                ${MOX_GROFF} ${PROJECT_SOURCE_DIR}/man/${page})
    endforeach()
endif()

# The daemon end to end: the ps2sim runner (the simulated PS/2 mouse of
# tests/support, used by the demo and by the valgrind run), the tests that
# run the built mox2-daemon against it, and mini_printf on its own.
add_executable(ps2sim support/ps2sim_main.cpp)
target_link_libraries(ps2sim PRIVATE mox_ps2sim)

add_executable(daemon_test daemon_test.cpp ${PROJECT_SOURCE_DIR}/src/mox2/generic/mini_printf.cpp)
target_link_libraries(daemon_test PRIVATE mox_ps2sim GTest::gtest_main)
target_compile_definitions(daemon_test PRIVATE MOX2_DAEMON_PATH="$<TARGET_FILE:mox2-daemon>")
add_dependencies(daemon_test mox2-daemon)
gtest_discover_tests(daemon_test TEST_PREFIX "daemon/" DISCOVERY_TIMEOUT 30)

# Memcheck over whole runs of the daemon against the mouse.
if(NOT MOX_SANITIZE)
    find_program(VALGRIND_PROGRAM valgrind)
    add_test(NAME daemon_valgrind
        COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/daemon_valgrind.sh "${VALGRIND_PROGRAM}"
                $<TARGET_FILE:ps2sim> $<TARGET_FILE:mox2-daemon>)
    set_tests_properties(daemon_valgrind PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)
endif()

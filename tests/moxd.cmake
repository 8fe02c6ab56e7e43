# Tests of moxd, the console mouse server: its logic as tables, and the
# server around it with real client sockets and a stand-in for the console.
if(NOT TARGET moxd_logic OR NOT TARGET mox_fake_host OR NOT TARGET argsift_obj)
    return()
endif()

add_executable(moxd_logic_test moxd_logic_test.cpp $<TARGET_OBJECTS:argsift_obj>)
target_link_libraries(moxd_logic_test PRIVATE moxd_logic mox_fake_host mox_warnings GTest::gtest_main)
gtest_discover_tests(moxd_logic_test PROPERTIES LABELS moxd)

# The server core with real client sockets in a private /dev, the console
# replaced by a recording stand-in.
add_executable(moxd_server_test moxd_server_test.cpp support/fake_vt.cpp
                                $<TARGET_OBJECTS:client_obj> $<TARGET_OBJECTS:argsift_obj>)
target_include_directories(moxd_server_test PRIVATE support ${PROJECT_SOURCE_DIR}/src/moxd)
target_link_libraries(moxd_server_test PRIVATE mox_clienttable moxd_server mox_testsupport mox_warnings GTest::gtest)
# The example settings file the package installs, built into the test as
# text: the i386 suite runs in a guest that has no source tree.
set(moxd_conf_example ${PROJECT_SOURCE_DIR}/src/moxd/moxd.conf)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${moxd_conf_example})
file(READ ${moxd_conf_example} moxd_conf_text)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/generated/moxd_conf_example.h
     "// Made by tests/moxd.cmake from src/moxd/moxd.conf.\n"
     "constexpr const char MOXD_CONF_EXAMPLE_TEXT[] = R\"example(${moxd_conf_text})example\";\n")
target_include_directories(moxd_server_test PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
add_test(NAME moxd_server_test COMMAND moxd_server_test)
set_tests_properties(moxd_server_test PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60 LABELS moxd)

# The real program on the command line, kept away from every console.
if(TARGET moxd)
    add_executable(moxd_cli_test moxd_cli_test.cpp)
    target_link_libraries(moxd_cli_test PRIVATE mox_testsupport mox_warnings GTest::gtest)
    target_compile_definitions(moxd_cli_test PRIVATE MOXD_PATH="$<TARGET_FILE:moxd>"
                                                     MOXD_VERSION="${PROJECT_VERSION}")
    add_dependencies(moxd_cli_test moxd)
    gtest_discover_tests(moxd_cli_test PROPERTIES LABELS moxd TIMEOUT 60)
endif()

# Tests of the client-connection module (client.o).
if(NOT TARGET client_obj)
    return()
endif()

# mox_skip_without_devns_test(PROGRAM): PROGRAM, run where no private /dev
# can be had, must end with the skip status 77 (CTest would show it as
# skipped), never 0 (shown as passed although nothing ran).
function(mox_skip_without_devns_test program)
    add_test(NAME ${program}_skips_without_private_dev
        COMMAND sh -c "MOX_TEST_NO_DEVNS=1 \"$0\"; test $? -eq 77" $<TARGET_FILE:${program}>)
    set_tests_properties(${program}_skips_without_private_dev PROPERTIES TIMEOUT 60 LABELS client)
endfunction()

# The fake server around the modules: reports, console state, ownership.
add_library(mox_fake_host STATIC support/fake_host.cpp)
target_include_directories(mox_fake_host PUBLIC support ${PROJECT_SOURCE_DIR}/src/headers)
target_link_libraries(mox_fake_host PUBLIC mox_warnings)

add_executable(client_test client_test.cpp $<TARGET_OBJECTS:client_obj>)
target_link_libraries(client_test PRIVATE mox_fake_host mox_testsupport mox_clienttable
                                          mox_warnings GTest::gtest)
# Allocation and peer-credential failures are injected through wrapped calls.
target_link_options(client_test PRIVATE -Wl,--wrap=malloc,--wrap=calloc,--wrap=getsockopt)
add_test(NAME client_test COMMAND client_test)
# 77: no private /dev could be had, so nothing that needs one ran.
set_tests_properties(client_test PROPERTIES TIMEOUT 60 LABELS client SKIP_RETURN_CODE 77)
mox_skip_without_devns_test(client_test)

# A C server: every public header read by the C compiler, client.o linked by
# it alone, with a small host written in C.
# The objects are given as link items, not sources: as sources of C++ origin
# they would make CMake add the C++ runtime to the link, hiding any need of it.
add_executable(client_c_interface c_interface.c c_host.c)
target_include_directories(client_c_interface PRIVATE ${PROJECT_SOURCE_DIR}/src/headers)
target_link_libraries(client_c_interface PRIVATE $<TARGET_OBJECTS:client_obj> mox_warnings)
add_dependencies(client_c_interface client_obj)
target_compile_options(client_c_interface PRIVATE -pedantic)
set_target_properties(client_c_interface PROPERTIES LINKER_LANGUAGE C C_EXTENSIONS OFF)
if(TARGET argsift_obj)
    # The option-string parser links into the same C program.
    target_link_libraries(client_c_interface PRIVATE $<TARGET_OBJECTS:argsift_obj>)
    add_dependencies(client_c_interface argsift_obj)
    target_compile_definitions(client_c_interface PRIVATE MOX_HAVE_ARGSIFT=1)
endif()
add_test(NAME client_c_interface COMMAND client_c_interface)
set_tests_properties(client_c_interface PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 30 LABELS client)

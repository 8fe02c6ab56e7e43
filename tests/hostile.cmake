# The client module under hostile and crowded clients, and the symbols of the
# delivered objects.
if(TARGET client_obj AND TARGET mox_fake_host)
    add_executable(hostile_test hostile_test.cpp $<TARGET_OBJECTS:client_obj>)
    target_link_libraries(hostile_test PRIVATE mox_fake_host mox_testsupport mox_clienttable
                                               mox_warnings GTest::gtest)
    add_test(NAME hostile_test COMMAND hostile_test)
    set_tests_properties(hostile_test PROPERTIES TIMEOUT 120 LABELS "client;hostile"
                                                 SKIP_RETURN_CODE 77)
    mox_skip_without_devns_test(hostile_test)

    # A hostile local user (uid 65534): silent flood, signals to others'
    # processes, descriptor exhaustion, the per-user limit.
    add_executable(hostile_user_test hostile_user_test.cpp $<TARGET_OBJECTS:client_obj>)
    target_link_libraries(hostile_user_test PRIVATE mox_fake_host mox_testsupport
                                                    mox_clienttable mox_warnings GTest::gtest)
    add_test(NAME hostile_user_test COMMAND hostile_user_test)
    set_tests_properties(hostile_user_test PROPERTIES TIMEOUT 120 LABELS "client;hostile"
                                                      SKIP_RETURN_CODE 77)
    mox_skip_without_devns_test(hostile_user_test)
endif()

# What client.o and argsift.o define and need, read with nm; the C library of
# the build's target tells its names from anything else.
if(TARGET client_obj OR TARGET argsift_obj)
    separate_arguments(mox_c_flags UNIX_COMMAND "${CMAKE_C_FLAGS}")
    execute_process(
        COMMAND ${CMAKE_C_COMPILER} ${mox_c_flags} -print-file-name=libc.so.6
        OUTPUT_VARIABLE mox_libc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    add_test(NAME delivered_symbols
        COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/symbols_test.sh ${CMAKE_NM} "${mox_libc}"
                ${CMAKE_BINARY_DIR}/client.o ${CMAKE_BINARY_DIR}/argsift.o)
    set_tests_properties(delivered_symbols PROPERTIES SKIP_RETURN_CODE 77 LABELS "client;argsift")
endif()

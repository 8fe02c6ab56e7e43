# Tests of libmox-client, the client library for programs.
if(NOT TARGET mox-client-lib)
    return()
endif()

# The library's objects against a real server made of client.o and the fake
# host. Reads, polls and sends are wrapped so that interruptions and short
# sends can be made on demand.
if(TARGET client_obj AND TARGET mox_fake_host)
    add_executable(mox_client_lib_test mox_client_lib_test.cpp
        $<TARGET_OBJECTS:mox_client_objs> $<TARGET_OBJECTS:client_obj>)
    target_include_directories(mox_client_lib_test PRIVATE ${PROJECT_SOURCE_DIR}/src/libmox-client)
    target_link_libraries(mox_client_lib_test PRIVATE mox_clienttable mox_fake_host mox_testsupport mox_warnings
                                                      GTest::gtest)
    target_link_options(mox_client_lib_test PRIVATE -Wl,--wrap=read,--wrap=poll,--wrap=send)
    add_test(NAME mox_client_lib_test COMMAND mox_client_lib_test)
    set_tests_properties(mox_client_lib_test PROPERTIES TIMEOUT 120 LABELS client)
endif()

# A C program includes <mox/mox-client.h> from the build tree's include
# folder, links the library with the C compiler alone and drives one
# connection through it against client.o, with the small host written in C.
# The library is a link item given by its file, not the target: as a static
# archive (the i386 build) of C++ origin the target would make CMake add the
# C++ runtime to the link and hide any need of it.
if(TARGET client_obj)
    add_executable(c_mox_client c_mox_client.c c_host.c)
    target_link_libraries(c_mox_client PRIVATE $<TARGET_LINKER_FILE:mox-client-lib>
                                               $<TARGET_OBJECTS:client_obj> mox_warnings)
    target_include_directories(c_mox_client PRIVATE ${CMAKE_BINARY_DIR}/include
                                                    ${PROJECT_SOURCE_DIR}/src/headers)
    add_dependencies(c_mox_client client_obj mox-client-lib)
    target_compile_options(c_mox_client PRIVATE -pedantic)
    set_target_properties(c_mox_client PROPERTIES LINKER_LANGUAGE C C_EXTENSIONS OFF)
    add_test(NAME c_mox_client COMMAND c_mox_client)
    set_tests_properties(c_mox_client PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 30 LABELS client)
endif()

# The shared library's dynamic symbols are exactly the functions its header
# declares, it needs nothing but the C library, and its soname is right.
get_target_property(mox_client_lib_type mox-client-lib TYPE)
if(mox_client_lib_type STREQUAL "SHARED_LIBRARY")
    find_program(MOX_READELF NAMES readelf)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libc.so.6
                    OUTPUT_VARIABLE mox_libc OUTPUT_STRIP_TRAILING_WHITESPACE)
    add_test(NAME mox_client_lib_symbols
        COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/mox_client_lib_symbols.sh ${CMAKE_NM} ${MOX_READELF}
                $<TARGET_FILE:mox-client-lib> ${PROJECT_SOURCE_DIR}/src/headers/mox-client.h
                ${mox_libc})
    set_tests_properties(mox_client_lib_symbols PROPERTIES SKIP_RETURN_CODE 77 LABELS client)
endif()

# The example client without --vc where no terminal is a virtual console (a
# new session without a controlling terminal, no console on its standard
# descriptors) says so in one line and exits with 1 before it connects; with
# --vc it goes on to the socket.
if(TARGET mox-client)
    add_test(NAME mox_client_needs_a_console COMMAND sh -c [=[
        err=$(setsid -w "$0" --socket /nonexistent/moxctl </dev/null 2>&1 >/dev/null)
        st=$?; printf '%s\n' "$err"
        [ "$st" = 1 ] && [ "$(printf '%s\n' "$err" | wc -l)" = 1 ] || exit 1
        case $err in *"no virtual console"*"--vc N"*) ;; *) exit 1 ;; esac
        out=$(setsid -w "$0" --vc 2 --socket /nonexistent/moxctl </dev/null 2>&1)
        st=$?; printf '%s\n' "$out"
        case "$st $out" in "1 [client] cannot connect to /nonexistent/moxctl"*) ;; *) exit 1 ;; esac
        ]=] $<TARGET_FILE:mox-client>)
    set_tests_properties(mox_client_needs_a_console PROPERTIES TIMEOUT 30 LABELS client)
endif()

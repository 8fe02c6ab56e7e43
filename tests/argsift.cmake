# The option-string parser: unit tests, the linking proof from C, and the
# symbol check of the delivered object.
if(TARGET argsift_obj)
    add_executable(argsift_test argsift_test.cpp $<TARGET_OBJECTS:argsift_obj>)
    target_include_directories(argsift_test PRIVATE ${PROJECT_SOURCE_DIR}/src/headers)
    target_link_libraries(argsift_test PRIVATE GTest::gtest_main mox_warnings)
    gtest_discover_tests(argsift_test)

    # A server written in C links the object with the C compiler alone.
    # The object is a link item, not a source: a source of C++ origin would
    # make CMake add the C++ runtime to the link and hide any need of it.
    add_executable(c_argsift c_argsift.c)
    target_include_directories(c_argsift PRIVATE ${PROJECT_SOURCE_DIR}/src/headers)
    target_link_libraries(c_argsift PRIVATE $<TARGET_OBJECTS:argsift_obj> mox_warnings)
    add_dependencies(c_argsift argsift_obj)
    set_target_properties(c_argsift PROPERTIES LINKER_LANGUAGE C C_EXTENSIONS OFF)
    target_compile_options(c_argsift PRIVATE -pedantic)
    add_test(NAME c_argsift COMMAND c_argsift)

    # The object exports exactly its three functions and needs only libc and
    # the server's mox_report and option (sanitizer hooks in sanitizer builds;
    # the 32-bit PC thunks are hidden and not exports).
    set(argsift_needs "mox_report|option|malloc|free|strlen|strncmp|memcpy|strtol|__ctype_b_loc|isalnum|isspace")
    set(argsift_needs "${argsift_needs}|__stack_chk_fail(_local)?|_GLOBAL_OFFSET_TABLE_")
    set(argsift_needs "${argsift_needs}|__(asan|ubsan|sanitizer)_[A-Za-z0-9_]*")
    add_test(NAME argsift_symbols
        COMMAND sh -c "set -e
            obj=\"$1\"; nm=\"$2\"
            bad=$(\"$nm\" -u \"$obj\" | awk '{print $NF}' | grep -Ev '^(${argsift_needs})$' || true)
            if [ -n \"$bad\" ]; then echo \"unexpected undefined symbols: $bad\"; exit 1; fi
            defs=$(\"$nm\" -g --defined-only \"$obj\" | grep -v ' __x86.get_pc_thunk' | awk '{print $2 \" \" $3}' | sort | tr '\\n' ' ')
            want='T check_no_options T is_option_present T parse_options '
            if [ \"$defs\" != \"$want\" ]; then echo \"exported: $defs\"; exit 1; fi
            echo \"ok: $defs\""
            argsift_symbols ${CMAKE_BINARY_DIR}/argsift.o ${CMAKE_NM})
endif()

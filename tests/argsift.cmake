# The option-string parser: unit tests, the linking proof from C, and the
# symbol check of the delivered object.
if(TARGET argsift_obj)
    add_executable(argsift_test argsift_test.cpp $<TARGET_OBJECTS:argsift_obj>)
    target_include_directories(argsift_test PRIVATE ${PROJECT_SOURCE_DIR}/src/headers)
    target_link_libraries(argsift_test PRIVATE GTest::gtest_main mox_warnings)
    # Allocation failures are injected through a wrapped malloc.
    target_link_options(argsift_test PRIVATE -Wl,--wrap=malloc)
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
endif()

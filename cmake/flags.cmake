# Warning set shared by every target of the project.
add_library(mox_warnings INTERFACE)
target_compile_options(mox_warnings INTERFACE
    -Wall -Wextra -Wformat=2 -Wshadow -Wundef -Wimplicit-fallthrough
    $<$<COMPILE_LANGUAGE:CXX>:-Wmissing-declarations>
    $<$<COMPILE_LANGUAGE:C>:-Wmissing-prototypes>)
if(MOX_WERROR)
    target_compile_options(mox_warnings INTERFACE -Werror)
endif()

# Product code: no exceptions, no RTTI, nothing that needs the C++ runtime.
add_library(mox_product INTERFACE)
target_compile_options(mox_product INTERFACE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>)
target_link_libraries(mox_product INTERFACE mox_warnings)

if(MOX_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# mox_relocatable_object(NAME SOURCE)
# Compiles SOURCE into an object library NAME_obj and leaves a copy of the
# object at ${CMAKE_BINARY_DIR}/NAME.o, the form in which the module is
# delivered to the server that links it.
function(mox_relocatable_object name source)
    add_library(${name}_obj OBJECT ${source})
    target_include_directories(${name}_obj PUBLIC ${PROJECT_SOURCE_DIR}/src/headers)
    target_link_libraries(${name}_obj PRIVATE mox_product)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/${name}.o
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_OBJECTS:${name}_obj> ${CMAKE_BINARY_DIR}/${name}.o
        DEPENDS ${name}_obj $<TARGET_OBJECTS:${name}_obj>
        COMMENT "Delivering ${name}.o"
        VERBATIM)
    add_custom_target(${name}_o ALL DEPENDS ${CMAKE_BINARY_DIR}/${name}.o)
    # Makefile generators need the target-level order as well as the file.
    add_dependencies(${name}_o ${name}_obj)
endfunction()

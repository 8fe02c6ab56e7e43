# The installed tree: `cmake --install` into a DESTDIR under the build folder,
# checked file by file, then used as a package's users would use it, through
# pkg-config (tests/install_tree.sh). Only where the build makes everything a
# package holds: the shared client library, moxd and the server archive.
if(NOT TARGET moxd OR NOT TARGET mox-server OR NOT TARGET mox-client)
    return()
endif()
get_target_property(mox_install_lib_type mox-client-lib TYPE)
find_program(MOX_PKG_CONFIG NAMES pkg-config pkgconf)
if(NOT mox_install_lib_type STREQUAL "SHARED_LIBRARY" OR NOT MOX_PKG_CONFIG)
    return()
endif()

set(mox_install_cflags)
if(MOX_SANITIZE)
    # The installed objects are instrumented: so must the programs be.
    set(mox_install_cflags -fsanitize=address,undefined -fno-omit-frame-pointer)
endif()
add_test(NAME install_tree
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_tree.sh check ${CMAKE_COMMAND}
            ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_C_COMPILER}
            BINDIR=${CMAKE_INSTALL_BINDIR} SBINDIR=${CMAKE_INSTALL_SBINDIR}
            INCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR} LIBDIR=${CMAKE_INSTALL_LIBDIR}
            MANDIR=${CMAKE_INSTALL_MANDIR} UNITDIR=${mox_unitdir} VERSION=${PROJECT_VERSION}
            -- ${mox_install_cflags})
set_tests_properties(install_tree PROPERTIES TIMEOUT 120 LABELS install SKIP_RETURN_CODE 77
                                             FIXTURES_SETUP mox_installed_tree)
# The C server and client built against the installed libraries, at work.
add_test(NAME install_tree_programs
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_tree.sh run ${CMAKE_BINARY_DIR})
set_tests_properties(install_tree_programs PROPERTIES TIMEOUT 60 LABELS install
                     SKIP_RETURN_CODE 77 FIXTURES_REQUIRED mox_installed_tree)

# What `cmake --install` puts where, in the GNU layout (GNUInstallDirs; with
# the prefix /usr on Debian the libraries go to lib/<multiarch triplet>):
#   sbin      moxd, mox2-daemon
#   bin       mox-client, the example client: a quick way to see that the
#             server reaches a program on a console
#   man       moxd(8), moxd.conf(5), mox2-daemon(8), mox-client(1)
#   etc       moxd.conf, the example settings (/etc with the prefix /usr)
#   systemd   moxd.service, in systemd's system unit folder
#   include   mox/mox.h and mox/mox-client.h for client programs; the server
#             modules' headers in mox/server/
#   lib       libmox-client.so.0 and its link; libmox-server.a, the archive
#             of client.o and argsift.o; pkg-config's mox-client.pc and
#             mox-server.pc
# Included from the top-level CMakeLists.txt once every product target exists.
include(GNUInstallDirs)

# The server modules, client.o and argsift.o exactly as delivered, as one
# static archive. A server links it like any library (-lmox-server after its
# own objects) and takes only the members it uses; pkg-config can name it;
# and Debian's tools strip and check an archive in a -dev package as they
# expect, where loose objects in the library folder are out of place.
if(TARGET client_o AND TARGET argsift_o)
    set(mox_server_members ${CMAKE_BINARY_DIR}/client.o ${CMAKE_BINARY_DIR}/argsift.o)
    set_source_files_properties(${mox_server_members} PROPERTIES EXTERNAL_OBJECT TRUE
                                                                 GENERATED TRUE)
    add_library(mox-server STATIC ${mox_server_members})
    add_dependencies(mox-server client_o argsift_o)
    set_target_properties(mox-server PROPERTIES LINKER_LANGUAGE C ARCHIVE_OUTPUT_DIRECTORY
                                                                  ${CMAKE_BINARY_DIR})
    install(TARGETS mox-server ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

foreach(program moxd mox2-daemon)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    endif()
endforeach()
if(TARGET mox-client)
    install(TARGETS mox-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/man/mox-client.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/man/mox2-daemon.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
if(TARGET moxd)
    install(FILES ${PROJECT_SOURCE_DIR}/man/moxd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
    install(FILES ${PROJECT_SOURCE_DIR}/man/moxd.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
endif()

# The client library: libmox-client.so.0.1.0, its soname link and the link
# a program is built with (the static archive in the all-static i386 build).
# A shared library is not a program: not executable, as Debian has it.
install(TARGETS mox-client-lib
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
                PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Client programs include <mox/mox-client.h>, which includes "mox.h" beside
# it. The server modules' headers have short, common names (client.h,
# console.h) that are not for client programs: they live in mox/server/,
# where only mox-server.pc's flags put them on the include path, so that a
# server includes them by their plain names as the modules' own sources do.
set(mox_headers ${PROJECT_SOURCE_DIR}/src/headers)
install(FILES ${mox_headers}/mox.h ${mox_headers}/mox-client.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mox)
install(FILES ${mox_headers}/client.h ${mox_headers}/moxInt.h ${mox_headers}/console.h
              ${mox_headers}/argsift.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mox/server)

# systemd's folder for system units: its own pkg-config variable (absolute,
# /lib/systemd/system on Debian 12), else that folder.
set(MOX_SYSTEMD_UNITDIR "" CACHE PATH "Folder for the systemd unit (default: systemd's own)")
set(mox_unitdir ${MOX_SYSTEMD_UNITDIR})
if(NOT mox_unitdir)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_get_variable(mox_unitdir systemd systemdsystemunitdir)
    endif()
    if(NOT mox_unitdir)
        set(mox_unitdir /lib/systemd/system)
    endif()
endif()

# The pkg-config files and the unit hold installed paths, and the prefix is
# only known for sure when `cmake --install --prefix` runs: they are written
# then (cmake/install_generated.cmake).
if(TARGET moxd)
    set(mox_install_unit ON)
else()
    set(mox_install_unit OFF)
endif()
if(TARGET mox-server)
    set(mox_install_server_pc ON)
else()
    set(mox_install_server_pc OFF)
endif()
install(CODE "
set(MOX_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
set(MOX_STAGE_DIR \"${CMAKE_BINARY_DIR}/install-generated\")
set(MOX_VERSION \"${PROJECT_VERSION}\")
set(MOX_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
set(MOX_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
set(MOX_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
set(MOX_UNITDIR \"${mox_unitdir}\")
set(MOX_INSTALL_UNIT ${mox_install_unit})
set(MOX_INSTALL_SERVER_PC ${mox_install_server_pc})
include(\"${CMAKE_CURRENT_LIST_DIR}/install_generated.cmake\")
")

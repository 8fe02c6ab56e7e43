# Runs inside `cmake --install`, where CMAKE_INSTALL_PREFIX is the prefix of
# this installation (--prefix, or the configured one) and DESTDIR is applied
# by file(INSTALL). Writes the files that name installed paths into
# MOX_STAGE_DIR and installs them from there:
#   mox-client.pc, mox-server.pc   into <libdir>/pkgconfig
#   moxd.service                   into the systemd unit folder, its
#                                  ExecStart naming the installed moxd
#   moxd.conf, the commented example settings, into the configuration
#   folder: /etc for the prefix /usr (as GNUInstallDirs has it), else
#   <prefix>/etc
# Set by the caller: MOX_SOURCE_DIR, MOX_STAGE_DIR, MOX_VERSION, MOX_LIBDIR,
# MOX_INCLUDEDIR, MOX_SBINDIR, MOX_UNITDIR, MOX_INSTALL_UNIT,
# MOX_INSTALL_SERVER_PC.

# A GNUInstallDirs folder as an absolute path, and as pkg-config writes it
# (below ${prefix} where it is).
function(mox_installed_dir dir full_var pc_var)
    if(IS_ABSOLUTE "${dir}")
        set(${full_var} "${dir}" PARENT_SCOPE)
        set(${pc_var} "${dir}" PARENT_SCOPE)
    else()
        set(${full_var} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
        set(${pc_var} "\${prefix}/${dir}" PARENT_SCOPE)
    endif()
endfunction()

mox_installed_dir("${MOX_LIBDIR}" libdir_full libdir)
mox_installed_dir("${MOX_INCLUDEDIR}" includedir_full includedir)
mox_installed_dir("${MOX_SBINDIR}" sbindir_full sbindir)
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(version "${MOX_VERSION}")

file(MAKE_DIRECTORY "${MOX_STAGE_DIR}")
set(pc_files "${MOX_STAGE_DIR}/mox-client.pc")
configure_file("${MOX_SOURCE_DIR}/cmake/mox-client.pc.in" "${MOX_STAGE_DIR}/mox-client.pc" @ONLY)
if(MOX_INSTALL_SERVER_PC)
    configure_file("${MOX_SOURCE_DIR}/cmake/mox-server.pc.in" "${MOX_STAGE_DIR}/mox-server.pc"
                   @ONLY)
    list(APPEND pc_files "${MOX_STAGE_DIR}/mox-server.pc")
endif()
file(INSTALL DESTINATION "${libdir_full}/pkgconfig" TYPE FILE FILES ${pc_files})

if(MOX_INSTALL_UNIT)
    # The unit in the repository runs /usr/sbin/moxd, as a package installs
    # it; another prefix gets its own path.
    file(READ "${MOX_SOURCE_DIR}/systemd/moxd.service" unit)
    string(REGEX REPLACE "\nExecStart=[^\n ]*/moxd" "\nExecStart=${sbindir_full}/moxd" unit
                         "${unit}")
    file(WRITE "${MOX_STAGE_DIR}/moxd.service" "${unit}")
    file(INSTALL DESTINATION "${MOX_UNITDIR}" TYPE FILE FILES "${MOX_STAGE_DIR}/moxd.service")
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(sysconfdir_full /etc)
    else()
        set(sysconfdir_full "${CMAKE_INSTALL_PREFIX}/etc")
    endif()
    file(INSTALL DESTINATION "${sysconfdir_full}" TYPE FILE
         FILES "${MOX_SOURCE_DIR}/src/moxd/moxd.conf")
endif()

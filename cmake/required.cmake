# Libraries a build must have instead of leaving their users out. Without
# them moxd (libinput, libudev, libsystemd) and the guest tests (those and
# libevdev) are left out with a warning, which suits a build for the example
# programs or the modules alone. A build that must deliver moxd fails here
# instead, naming the Debian packages missing: MOX_REQUIRE_MOXD, set by the
# presets that build everything (ci, clang, asan), and MOX_VM_GUEST_TESTS,
# whose tests run moxd.
option(MOX_REQUIRE_MOXD "Fail the configure when a library moxd needs is missing" OFF)

set(mox_required)
if(MOX_REQUIRE_MOXD OR MOX_VM_GUEST_TESTS)
    list(APPEND mox_required libinput=libinput-dev libudev=libudev-dev libsystemd=libsystemd-dev)
endif()
if(MOX_VM_GUEST_TESTS)
    list(APPEND mox_required libevdev=libevdev-dev)
endif()
if(mox_required)
    if(CMAKE_CROSSCOMPILING)
        message(FATAL_ERROR "MOX_REQUIRE_MOXD or MOX_VM_GUEST_TESTS is set, but moxd is not built "
                            "in a cross build (its libraries are the build machine's)")
    endif()
    find_package(PkgConfig QUIET)
    set(mox_missing)
    if(NOT PkgConfig_FOUND)
        list(APPEND mox_missing pkg-config)
    endif()
    foreach(entry ${mox_required})
        string(REPLACE "=" ";" entry ${entry})
        list(GET entry 0 module)
        list(GET entry 1 package)
        if(PkgConfig_FOUND)
            pkg_check_modules(MOX_REQUIRED_${module} QUIET ${module})
        endif()
        if(NOT MOX_REQUIRED_${module}_FOUND)
            list(APPEND mox_missing ${package})
        endif()
    endforeach()
    if(mox_missing)
        list(JOIN mox_missing " " mox_missing)
        message(FATAL_ERROR "moxd cannot be built, and this build must build it "
                            "(MOX_REQUIRE_MOXD or MOX_VM_GUEST_TESTS): missing ${mox_missing}. "
                            "scripts/deps.sh installs them (as root).")
    endif()
endif()

# A build that must deliver moxd stops at its configure when pkg-config finds
# none of moxd's libraries, and names the Debian packages that bring them.
add_test(NAME configure_requires_moxd
    COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=/nonexistent
            ${CMAKE_COMMAND} --fresh -S ${PROJECT_SOURCE_DIR} -B ${CMAKE_CURRENT_BINARY_DIR}/requires_moxd
            -DMOX_REQUIRE_MOXD=ON -DMOX_BUILD_TESTS=OFF -DMOX_BUILD_BENCH=OFF)
set_tests_properties(configure_requires_moxd PROPERTIES TIMEOUT 120 LABELS install
    PASS_REGULAR_EXPRESSION
    "CMake Error at [^\n]*\n[^C]*missing[ \n]+libinput-dev[ \n]+libudev-dev[ \n]+libsystemd-dev")

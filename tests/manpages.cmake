# The manual pages render without groff warnings.
find_program(MOX_GROFF groff)
if(MOX_GROFF)
    foreach(page mox2-daemon.8 mox-client.1 moxd.8 moxd.conf.5)
        add_test(NAME man_${page}
            COMMAND bash -c "w=$(\"$0\" -man -Tutf8 -ww -z \"$1\" 2>&1); [ -z \"$w\" ] || { printf '%s\\n' \"$w\"; exit 1; }"
                ${MOX_GROFF} ${PROJECT_SOURCE_DIR}/man/${page})
    endforeach()
endif()

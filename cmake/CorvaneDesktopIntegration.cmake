# The scripts that report the active window's process to Corvane from inside
# a Wayland desktop (resources/wayland; see README.md, "Foreground windows on
# Wayland"): where `cmake --install` puts them, and the checks of their
# JavaScript that CTest runs.
include(GNUInstallDirs)

set(corvane_reporters ${PROJECT_SOURCE_DIR}/resources/wayland)
set(corvane_kwin_script ${corvane_reporters}/kwin/corvane-foreground)
set(corvane_gnome_extension ${corvane_reporters}/gnome-shell/corvane-foreground@corvane.app)

# KWin finds scripts under kwin/scripts/<id> of the data directories, GNOME
# Shell finds extensions under gnome-shell/extensions/<uuid>.
install(DIRECTORY ${corvane_kwin_script} DESTINATION ${CMAKE_INSTALL_DATADIR}/kwin/scripts)
install(DIRECTORY ${corvane_gnome_extension}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/gnome-shell/extensions)

# KWin runs a plain script: it runs here against stand-ins of the Plasma 5
# and Plasma 6 scripting API. GNOME Shell loads an ES module, whose syntax
# node checks (a check resolves none of its gi:// and resource:// imports).
add_test(NAME kwin_reporter
         COMMAND node ${PROJECT_SOURCE_DIR}/tests/desktop/kwin-reporter-check.js
                 ${corvane_kwin_script}/contents/code/main.js)
add_test(NAME gnome_reporter_syntax
         COMMAND sh -c "exec node --input-type=module --check <\"$0\""
                 ${corvane_gnome_extension}/extension.js)

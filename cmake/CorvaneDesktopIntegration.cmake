# The scripts that report the active window's process to Corvane from inside
# a Wayland desktop (resources/wayland; see README.md, "Foreground windows on
# Wayland"): where `cmake --install` puts them. tests/platform checks them.
include(GNUInstallDirs)

set(corvane_reporters ${PROJECT_SOURCE_DIR}/resources/wayland)
set(corvane_kwin_script ${corvane_reporters}/kwin/corvane-foreground)
set(corvane_gnome_extension ${corvane_reporters}/gnome-shell/corvane-foreground@corvane.app)

# KWin finds scripts under kwin/scripts/<id> of the data directories, GNOME
# Shell finds extensions under gnome-shell/extensions/<uuid>.
install(DIRECTORY ${corvane_kwin_script} DESTINATION ${CMAKE_INSTALL_DATADIR}/kwin/scripts)
install(DIRECTORY ${corvane_gnome_extension}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/gnome-shell/extensions)

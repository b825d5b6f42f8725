# What `cmake --install` puts where (GNUInstallDirs; CMAKE_INSTALL_PREFIX and
# DESTDIR apply). Each part of the program installs in a section of its own
# below.
include(GNUInstallDirs)

# The id that names the desktop file, the metainfo and the icon: the maker's
# domain reversed (corvane.app, see src/app/KvApplication.cpp) and the
# product name. The program gives the same id to the desktop.
set(CORVANE_APP_ID "app.corvane.${CORVANE_PRODUCT_NAME}")
# The version the program shows: the fourth part of the file version is
# not the program's.
set(CORVANE_RELEASE_VERSION
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/CorvaneWindowsInstall.cmake)
    return()
endif()

# ---- The program, its desktop entry, icons, metainfo, man page and user service
set(corvane_linux_files ${PROJECT_SOURCE_DIR}/resources/linux)
set(corvane_linux_generated ${PROJECT_BINARY_DIR}/resources/linux)

install(TARGETS corvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The program's one shared library (see src/platform/CMakeLists.txt) is its
# own: it goes to a folder of the program's, where the program looks first.
if(TARGET corvane_processwide)
    install(TARGETS corvane_processwide LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/corvane)
    set_target_properties(corvane PROPERTIES INSTALL_RPATH "$ORIGIN/${corvane_bin_to_lib}")
endif()
# The run's lifeline is no command of its own: it goes with the library.
if(TARGET corvane-lifeline)
    install(TARGETS corvane-lifeline RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/corvane)
endif()
install(FILES ${corvane_linux_files}/${CORVANE_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# The window's own 16 x 16 image, and the larger sizes scripts/make-icons.py
# renders from the same drawing.
install(FILES ${PROJECT_SOURCE_DIR}/resources/images/mainwindow.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/16x16/apps RENAME ${CORVANE_APP_ID}.png)
install(DIRECTORY ${corvane_linux_files}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

configure_file(${corvane_linux_files}/${CORVANE_APP_ID}.metainfo.xml.in
               ${corvane_linux_generated}/${CORVANE_APP_ID}.metainfo.xml @ONLY)
install(FILES ${corvane_linux_generated}/${CORVANE_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The unit starts the installed program and the man page names the installed
# unit. Both paths depend on the prefix of the installation, which cpack
# sets to /usr whatever the build was configured with, so the two files
# are written when installing.
set(CORVANE_USER_UNIT_DIR lib/systemd/user)
install(CODE "
    set(CORVANE_COMPANY_NAME [[${CORVANE_COMPANY_NAME}]])
    set(CORVANE_PRODUCT_NAME [[${CORVANE_PRODUCT_NAME}]])
    set(CORVANE_RELEASE_VERSION [[${CORVANE_RELEASE_VERSION}]])
    set(bindir [[${CMAKE_INSTALL_BINDIR}]])
    if(NOT IS_ABSOLUTE \"\${bindir}\")
        set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
    endif()
    set(CORVANE_INSTALLED_PROGRAM \"\${bindir}/corvane\")
    set(CORVANE_INSTALLED_UNIT \"\${CMAKE_INSTALL_PREFIX}/${CORVANE_USER_UNIT_DIR}/corvane.service\")
    configure_file([[${corvane_linux_files}/corvane.service.in]]
                   [[${corvane_linux_generated}/corvane.service]] @ONLY)
    configure_file([[${corvane_linux_files}/corvane.1.in]]
                   [[${corvane_linux_generated}/corvane.1]] @ONLY)
")
install(FILES ${corvane_linux_generated}/corvane.service DESTINATION ${CORVANE_USER_UNIT_DIR})
install(FILES ${corvane_linux_generated}/corvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- The reporters that tell the program the active window's process from
# inside a Wayland desktop (resources/wayland; see README.md, "Foreground
# windows on Wayland"). KWin finds scripts under kwin/scripts/<id> of the
# data directories, GNOME Shell finds extensions under
# gnome-shell/extensions/<uuid>.
set(corvane_reporters ${PROJECT_SOURCE_DIR}/resources/wayland)
install(DIRECTORY ${corvane_reporters}/kwin/corvane-foreground
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kwin/scripts)
# GNOME Shell 45 and later load ES modules, 40 to 44 classic scripts, and
# neither loads the other's: each form is an extension of its own. The
# classic script is written here from the module, so that the two cannot
# drift apart: its gi:// imports become imports.gi, the shell's Extension
# class is not needed, and init() gives the extension.
set(corvane_gnome_extensions ${CMAKE_INSTALL_DATADIR}/gnome-shell/extensions)
set(corvane_gnome_module ${corvane_reporters}/gnome-shell/corvane-foreground@corvane.app)
set(corvane_gnome40 corvane-foreground-gnome40@corvane.app)
set(CORVANE_GNOME40_REPORTER
    ${PROJECT_BINARY_DIR}/resources/wayland/gnome-shell/${corvane_gnome40}/extension.js)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${corvane_gnome_module}/extension.js)
file(READ ${corvane_gnome_module}/extension.js corvane_script)
string(REPLACE "GNOME Shell 45 and later." "GNOME Shell 40 to 44, written by the build
// from the one for 45 and later (corvane-foreground@corvane.app)." corvane_script
       "${corvane_script}")
# A module is strict throughout, a classic script from its directive on.
string(REGEX REPLACE "\n\n(import [A-Za-z]+ from 'gi://)" "\n\n'use strict';\n\n\\1"
       corvane_script "${corvane_script}")
string(REGEX REPLACE "import ([A-Za-z]+) from 'gi://[A-Za-z]+';" "const \\1 = imports.gi.\\1;"
       corvane_script "${corvane_script}")
string(REGEX REPLACE "\nimport [^\n]*\n" "" corvane_script "${corvane_script}")
string(REGEX MATCH "export default class ([A-Za-z]+) extends Extension" corvane_export
       "${corvane_script}")
set(corvane_class ${CMAKE_MATCH_1})
string(REPLACE "${corvane_export}" "class ${corvane_class}" corvane_script "${corvane_script}")
if(NOT corvane_class OR corvane_script MATCHES "\n(import|export) ")
    message(FATAL_ERROR "${corvane_gnome_module}/extension.js is no longer of the form that "
                        "cmake/CorvaneInstall.cmake turns into GNOME 40's")
endif()
file(WRITE ${CORVANE_GNOME40_REPORTER} "${corvane_script}
function init() {
    return new ${corvane_class}();
}
")
install(DIRECTORY ${corvane_gnome_module} DESTINATION ${corvane_gnome_extensions})
install(FILES ${CORVANE_GNOME40_REPORTER}
              ${corvane_reporters}/gnome-shell/${corvane_gnome40}/metadata.json
        DESTINATION ${corvane_gnome_extensions}/${corvane_gnome40})

if(WIN32)
    # The Windows installer: `cpack` in the build folder makes
    # Corvane-<version>-setup.exe with NSIS (makensis; Debian's nsis on
    # Linux) from the install rules of cmake/CorvaneWindowsInstall.cmake. It
    # installs into Program Files\Corvane (silently with /S), adds a
    # Start-menu entry, and registers an uninstaller that also runs silently
    # with /S.
    set(CPACK_GENERATOR NSIS64)
    # A 64-bit installer for the 64-bit program: it installs into the 64-bit
    # Program Files and registers in the 64-bit registry, and needs no 32-bit
    # subsystem (Wine's included).
    set(CPACK_NSIS_DEFINES "Target amd64-unicode")
    set(CPACK_PACKAGE_NAME ${CORVANE_PRODUCT_NAME})
    set(CPACK_PACKAGE_VENDOR ${CORVANE_COMPANY_NAME})
    set(CPACK_PACKAGE_VERSION ${CORVANE_RELEASE_VERSION})
    set(CPACK_PACKAGE_FILE_NAME ${CORVANE_PRODUCT_NAME}-${CORVANE_RELEASE_VERSION}-setup)
    set(CPACK_PACKAGE_INSTALL_DIRECTORY ${CORVANE_PRODUCT_NAME})
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY ${CORVANE_PRODUCT_NAME})
    set(CPACK_PACKAGE_EXECUTABLES corvane ${CORVANE_PRODUCT_NAME})
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
    set(CPACK_NSIS_INSTALLED_ICON_NAME corvane.exe)
    set(CPACK_NSIS_DISPLAY_NAME ${CORVANE_PRODUCT_NAME})
    set(CPACK_NSIS_PACKAGE_NAME ${CORVANE_PRODUCT_NAME})
    set(CPACK_NSIS_URL_INFO_ABOUT https://corvane.app)
    set(CPACK_NSIS_CONTACT feedback@corvane.app)
    set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    set(CPACK_STRIP_FILES ON)
    include(CPack)
    return()
endif()

# The Debian package: `cpack -G DEB` in the build folder makes
# corvane_<version>_<architecture>.deb from the install rules of
# cmake/CorvaneInstall.cmake. Its dependencies are worked out from the
# shared libraries the program links (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR ${CORVANE_COMPANY_NAME})
set(CPACK_PACKAGE_VERSION ${CORVANE_RELEASE_VERSION})
set(CPACK_PACKAGE_CONTACT "${CORVANE_COMPANY_NAME} <feedback@corvane.app>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://corvane.app)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "restrains other programs' processor use by rules")
set(CPACK_PACKAGE_DESCRIPTION "Corvane caps a program at a percentage of the machine, or
suspends it, while other programs run or don't, are in the foreground or the
background, or while the machine is or isn't online, optionally after a delay.
Everything it does is written to a log.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

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

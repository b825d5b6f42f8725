# Builds the Windows program on Linux with Debian's mingw-w64 (64-bit, POSIX
# threads, as the Qt it links was built with). Give the Qt for mingw in
# CMAKE_PREFIX_PATH; scripts/build-windows does all of it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSTEM_VERSION 6.1) # Windows 7

set(corvane_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${corvane_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${corvane_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${corvane_mingw}-windres)

# Libraries and headers of the target come from the mingw tree and from the
# prefixes given (Qt); programs run at build time (moc, rcc, uic) are the
# host's, which the Qt tree carries.
set(CMAKE_FIND_ROOT_PATH /usr/${corvane_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# What the Windows program needs beside corvane.exe, all in the one folder it
# is installed to: its lifeline, Qt's DLLs, the platform plugin, the native
# style and the compiler's runtime; nothing else (no image formats, no
# bearer, no print support). The installer (cmake/CorvanePackage.cmake) holds
# exactly this, and scripts/build-windows lays it out in build/windows/deploy.
install(TARGETS corvane corvane-lifeline RUNTIME DESTINATION .)
foreach(module Core Gui Widgets Network)
    install(FILES $<TARGET_FILE:Qt5::${module}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> DESTINATION styles)
if(MINGW)
    foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
            message(FATAL_ERROR "The compiler's ${runtime} was not found")
        endif()
        install(FILES ${found} DESTINATION .)
    endforeach()
endif()

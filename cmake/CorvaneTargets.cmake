# Helpers that keep the per-folder CMakeLists files small. Every folder under
# src/ is one library built from the sources found in it, so adding a class
# means adding its files, not editing a list.

# corvane_add_library(<name> [DIRS <dir>...] [LINK <target>...] [EXCLUDE <file>...])
#   Builds a static library from the .cpp/.h/.ui files of the current folder
#   (and the given sub-folders). The folder's parent (src/) is on the include
#   path of the library and of everything that links it, so includes read
#   "support/KvFileInfo.h".
function(corvane_add_library name)
    cmake_parse_arguments(ARG "" "" "DIRS;LINK;EXCLUDE" ${ARGN})
    set(dirs ${CMAKE_CURRENT_SOURCE_DIR})
    foreach(dir IN LISTS ARG_DIRS)
        list(APPEND dirs ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
    endforeach()
    set(sources "")
    foreach(dir IN LISTS dirs)
        file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h ${dir}/*.ui ${dir}/*.qrc)
        list(APPEND sources ${found})
    endforeach()
    foreach(excluded IN LISTS ARG_EXCLUDE)
        list(FILTER sources EXCLUDE REGEX "/${excluded}$")
    endforeach()
    set(compiled ${sources})
    list(FILTER compiled INCLUDE REGEX "\\.cpp$")
    if(compiled)
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} PUBLIC ${ARG_LINK})
    else()
        # A folder that has no sources yet still gives a target to link.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} INTERFACE ${ARG_LINK})
    endif()
endfunction()

# corvane_add_test(<name> SOURCES <file>... [LINK <target>...] [LABELS <label>...])
#   One Qt Test executable registered with CTest. Tests run on Qt's offscreen
#   platform; system tests carry the label "system". Usage reports of any
#   program a test starts go to a closed port on the loopback address.
#   Each test has a home folder of its own in the build tree, so that its
#   logs and settings neither stay in the user's home nor meet those of a
#   test run in another build tree at the same time.
function(corvane_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LINK;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test ${ARG_LINK})
    target_link_libraries(${name} PRIVATE corvane_test_fixtures)
    add_test(NAME ${name} COMMAND ${name})
    if(CMAKE_CROSSCOMPILING_EMULATOR)
        # Qt Test's report reaches CTest through a file under Wine.
        set_target_properties(${name} PROPERTIES
            CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR};--qtest")
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set(home ${CMAKE_BINARY_DIR}/test-home/${name})
    file(MAKE_DIRECTORY ${home})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;CORVANE_MEASUREMENT_HOST=127.0.0.1:1;HOME=${home};XDG_CONFIG_HOME=${home}/.config;XDG_DATA_HOME=${home}/.local/share;XDG_CACHE_HOME=${home}/.cache;XDG_RUNTIME_DIR=${home}/.runtime"
        TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
endfunction()

# Adds every immediate sub-folder of the current folder that has a
# CMakeLists.txt of its own.
function(corvane_add_subfolders)
    file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
    foreach(child IN LISTS children)
        if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
            add_subdirectory(${child})
        endif()
    endforeach()
endfunction()

# corvane_embed_version_resource(<target>)
#   Gives the executable its version resource, generated from
#   CORVANE_COMPANY_NAME, CORVANE_PRODUCT_NAME and CORVANE_FILE_VERSION of
#   the root CMakeLists.txt: in the ELF section that the program reads its
#   own names from, or as a Windows resource script on Windows.
function(corvane_embed_version_resource target)
    if(WIN32)
        # Windows reads the resource from the executable's own resources.
        include(${PROJECT_SOURCE_DIR}/cmake/WindowsResource.cmake)
        set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
        corvane_write_windows_resource(${PROJECT_SOURCE_DIR}/src/app/corvane.rc.in ${script})
        target_sources(${target} PRIVATE ${script})
        return()
    endif()
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_resource.cpp)
    add_custom_command(
        OUTPUT ${output}
        COMMAND corvane_version_generator ${output} ${CORVANE_COMPANY_NAME}
                ${CORVANE_PRODUCT_NAME} ${CORVANE_FILE_VERSION} ${target}${CMAKE_EXECUTABLE_SUFFIX}
        DEPENDS corvane_version_generator
        COMMENT "Generating the version resource of ${target}"
        VERBATIM)
    set_source_files_properties(${output} PROPERTIES SKIP_AUTOGEN ON)
    target_sources(${target} PRIVATE ${output})
endfunction()

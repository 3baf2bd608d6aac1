# The Windows zip, made by CPack from the shipped i686 build:
# `cmake --preset win32-i686 && cmake --build --preset win32-i686 &&
# cpack --preset win32-zip` gives build/win32-i686/Teleora-<version>-win32.zip,
# one folder holding Teleora.exe, LEGGIMI.txt and a sample settings file,
# Teleora-esempio.ini: never Teleora.ini itself, so a newer zip unpacked over
# the old folder leaves the user's settings alone.
# Included by cmake/win32.cmake.
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
    return()  # the 64-bit build only runs the tests
endif()

set(TELEORA_WIN32_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging/win32)

# The two text files are kept in UTF-8 with LF in the sources and written as
# Windows wants them to read in Notepad: Windows-1252, CR LF.
set(TELEORA_ZIP_TEXTS)
foreach(name LEGGIMI.txt Teleora-esempio.ini)
    set(source ${TELEORA_WIN32_PACKAGING_DIR}/${name})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND iconv -f UTF-8 -t WINDOWS-1252 ${source}
                    OUTPUT_VARIABLE text RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${name}: not convertible to Windows-1252")
    endif()
    set(TELEORA_VERSION ${PROJECT_VERSION})
    file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/zip/${name} CONTENT "${text}"
         @ONLY NEWLINE_STYLE CRLF)
    list(APPEND TELEORA_ZIP_TEXTS ${CMAKE_CURRENT_BINARY_DIR}/zip/${name})
endforeach()

install(TARGETS Teleora RUNTIME DESTINATION .)
install(FILES ${TELEORA_ZIP_TEXTS} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Teleora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Teleora developers")
set(CPACK_PACKAGE_FILE_NAME Teleora-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

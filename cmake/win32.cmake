# The Windows program: Teleora.exe on the portable core (its tests are in
# tests/win32).
# Included by the top-level CMakeLists.txt when building for Windows.
enable_language(RC)

# The Windows bindings of the core: dial-up service, settings file, tray
# icon and menu, configuration dialog. RASAPI32.DLL is not imported: the
# dial-up binding loads it from the system folder at run time.
add_library(teleora_win32 STATIC
    dialup/ras_dialup_win32.cpp
    settings/profile_store_win32.cpp
    app/win32/shell_win32.cpp
    app/win32/config_dialog_win32.cpp
)
target_link_libraries(teleora_win32 PUBLIC teleora_core user32 shell32 kernel32)

# The resources are one object file, linked into the program and into the
# tests that need the real menu and dialog. Their version block is written
# from the project's version.
set(TELEORA_RC_VERSION
    "${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, ${PROJECT_VERSION_PATCH}, 0")
configure_file(resources/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/resources/version.rc @ONLY)
add_library(teleora_resources OBJECT resources/teleora.rc)
set_source_files_properties(resources/teleora.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/resources/teleora.ico;${CMAKE_CURRENT_SOURCE_DIR}/resources/resource_ids.h;${CMAKE_CURRENT_SOURCE_DIR}/resources/ui_texts.h;${CMAKE_CURRENT_BINARY_DIR}/resources/version.rc")
target_include_directories(teleora_resources PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/resources
    ${CMAKE_CURRENT_BINARY_DIR}/resources)

add_executable(Teleora WIN32 app/win32/main_win32.cpp $<TARGET_OBJECTS:teleora_resources>)
target_link_libraries(Teleora PRIVATE teleora_win32)

# The shipped build is as small as the toolchain allows: unused sections
# dropped, symbols stripped, and no exception or type tables, so the C++
# exception runtime stays out of the program. (The portable INI store, which
# handles allocation failures with exceptions, is not part of the program: on
# Windows the profile functions hold the settings.)
if(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
    set(TELEORA_SMALL_OPTIONS -ffunction-sections -fdata-sections -fno-exceptions
        -fno-asynchronous-unwind-tables -fno-threadsafe-statics)
    target_compile_options(teleora_core PRIVATE ${TELEORA_SMALL_OPTIONS})
    foreach(target teleora_win32 Teleora)
        target_compile_options(${target} PRIVATE ${TELEORA_SMALL_OPTIONS} -fno-rtti)
    endforeach()
    target_link_options(Teleora PRIVATE -s -Wl,--gc-sections)
endif()

# The zip users download.
include(${CMAKE_CURRENT_LIST_DIR}/packaging_win32.cmake)

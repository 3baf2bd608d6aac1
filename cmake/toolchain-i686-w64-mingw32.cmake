# Cross build for 32-bit Windows with mingw-w64 (the shipped Teleora.exe).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TELEORA_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

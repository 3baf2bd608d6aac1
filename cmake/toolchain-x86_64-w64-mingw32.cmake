# Cross build for 64-bit Windows with mingw-w64 (the same sources, run
# under wine64 by the tests).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TELEORA_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

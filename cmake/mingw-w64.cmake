# What both mingw-w64 cross builds share; the toolchain files set
# CMAKE_SYSTEM_PROCESSOR and TELEORA_MINGW_TRIPLET, then include this.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TELEORA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TELEORA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TELEORA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TELEORA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static runtime: the programs import nothing but system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

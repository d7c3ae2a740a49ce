# Cross build for 32-bit Windows with the MinGW-w64 i686 toolchain
# (Debian: g++-mingw-w64-i686). Used by the "windows" preset.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(HUX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${HUX_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${HUX_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${HUX_MINGW_PREFIX}-windres)
find_program(CMAKE_DLLTOOL ${HUX_MINGW_PREFIX}-dlltool REQUIRED)
find_program(HUX_MINGW_OBJDUMP ${HUX_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${HUX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every module carries its C and C++ runtime support and libgcc inside, so
# that it depends on system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# GCC 12 reports a false -Wrestrict inside libstdc++'s string concatenation
# ("text" + std::string&&) when inlining on i686 (GCC bug 105329, fixed in
# later releases). Only this toolchain trips over it.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

# Cross build for 64-bit Windows with Debian's mingw-w64: the same sources as
# the 32-bit product, for testing the Win32 code under 64-bit Wine where the
# machine cannot execute 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Debian's `wine` starts the 32-bit loader first, and fails where 32-bit code
# cannot run: the 64-bit loader itself.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

# Cross build for 32-bit Windows with Debian's mingw-w64; tests run under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# The loader that runs the 32-bit programs: Debian's `wine` (with wine32)
# where the machine runs 32-bit code, else the one scripts/wine32-emulated
# sets up, which runs 32-bit Wine under QEMU.
set(KAVELO_WINE32_LOADER wine CACHE STRING
    "the Wine loader that runs the 32-bit programs")
set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVELO_WINE32_LOADER})

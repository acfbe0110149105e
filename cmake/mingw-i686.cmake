# Cross build for 32-bit x86 Windows with MinGW-w64; tests run under Wine.
set(TG_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
# Tests run under Wine in a win32 prefix through the tree's own runner (the top CMakeLists.txt
# generates it from cmake/wine-run.sh.in).
set(TG_WINEARCH win32)
set(TG_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Cross build for 64-bit x64 Windows with MinGW-w64; tests run under Wine.
set(TG_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
# Tests run under Wine in a win64 prefix through the tree's own runner (the top CMakeLists.txt
# generates it from cmake/wine-run.sh.in).
set(TG_WINEARCH win64)
set(TG_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# What both MinGW-w64 cross builds share; the toolchain file of each sets TG_MINGW_TRIPLE (the
# compiler's prefix), CMAKE_SYSTEM_PROCESSOR and its Wine prefix's arch and loader first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${TG_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TG_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${TG_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The deliverables must need no MinGW DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

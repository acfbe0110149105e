// Screenshot.h: saving what the screen shows of a window, as a 24-bit BMP file.
#pragma once

#include <windows.h>

#include <string>

// False when the window has no area or the file cannot be written.
bool SaveWindowImage(HWND hWnd, const std::string& strPath);

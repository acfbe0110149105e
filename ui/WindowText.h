// WindowText.h: reading a window's text, and shortening a text to a width with "...".
#pragma once

#include <windows.h>

#include "foundation/CharArray.h"

// The window's whole text, read with a buffer of its reported length plus one.
void GetWindowString(HWND hwnd, CCArray& strOut);

// Fits the first n characters of pszText into nMaxWidth pixels of the device context's font.
// When they fit, strOut is the text and the result its width (0 for n = 0). Otherwise strOut
// becomes the text followed by "..." and loses one character at a time (the one before the "...",
// and once only the dots are left, the dots) until what remains fits; the result is its width,
// 0 when nothing is left.
int FitTextToWidth(HDC hdc, const char* pszText, int n, int nMaxWidth, CCArray& strOut);

// Screenshot.cpp: the window's rectangle copied from the screen into a BMP file.
#include "tests/support/win32/Screenshot.h"

#include <fstream>
#include <vector>

bool SaveWindowImage(HWND hWnd, const std::string& strPath)
{
    RECT rc;
    if (!GetWindowRect(hWnd, &rc) || rc.right <= rc.left || rc.bottom <= rc.top)
        return false;
    int nWidth = rc.right - rc.left, nHeight = rc.bottom - rc.top;
    HDC hScreen = GetDC(nullptr);
    HDC hMemory = CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = CreateCompatibleBitmap(hScreen, nWidth, nHeight);
    HGDIOBJ hOld = SelectObject(hMemory, hBitmap);
    BitBlt(hMemory, 0, 0, nWidth, nHeight, hScreen, rc.left, rc.top, SRCCOPY);
    SelectObject(hMemory, hOld);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = nWidth;
    info.biHeight = nHeight; // bottom-up, as BMP files store rows
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    int nStride = (nWidth * 3 + 3) & ~3;
    std::vector<char> pixels((size_t)nStride * nHeight);
    int nRows = GetDIBits(hMemory, hBitmap, 0, nHeight, pixels.data(), (BITMAPINFO*)&info, DIB_RGB_COLORS);
    DeleteObject(hBitmap);
    DeleteDC(hMemory);
    ReleaseDC(nullptr, hScreen);
    if (nRows != nHeight)
        return false;

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + (DWORD)pixels.size();
    std::ofstream out(strPath, std::ios::binary);
    out.write((const char*)&file, sizeof(file));
    out.write((const char*)&info, sizeof(info));
    out.write(pixels.data(), (std::streamsize)pixels.size());
    return out.good();
}

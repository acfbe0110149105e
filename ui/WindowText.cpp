// WindowText.cpp: window text and width fitting helpers.
#include "ui/WindowText.h"

void GetWindowString(HWND hwnd, CCArray& strOut)
{
    int nLength = GetWindowTextLengthA(hwnd);
    strOut.SetSize(nLength + 1);
    int nRead = GetWindowTextA(hwnd, strOut.pData, nLength + 1);
    // The text may have become shorter between the two calls.
    strOut.SetSize((nRead < 0 ? 0 : nRead) + 1);
    strOut.pData[strOut.GetSize() - 1] = 0;
}

namespace
{
int MeasureText(HDC hdc, const char* p, int n)
{
    SIZE size;
    if (n <= 0 || !GetTextExtentPoint32A(hdc, p, n, &size))
        return 0;
    return size.cx;
}
} // namespace

int FitTextToWidth(HDC hdc, const char* pszText, int n, int nMaxWidth, CCArray& strOut)
{
    int nWidth = MeasureText(hdc, pszText, n);
    strOut = pszText;
    if (nWidth <= nMaxWidth)
        return nWidth;
    strOut.SetText(pszText, n);
    strOut.Append("...");
    while (nWidth > nMaxWidth && strOut.GetLength() > 0)
    {
        int nLength = strOut.GetLength();
        strOut.Delete(nLength > 3 ? nLength - 4 : nLength - 1, 1);
        nWidth = MeasureText(hdc, strOut.GetString(), strOut.GetLength());
    }
    return nWidth;
}

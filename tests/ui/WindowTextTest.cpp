// WindowTextTest.cpp: reading window texts and fitting a text to a width.
#include "ui/WindowText.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
TEST(WindowText, GetWindowStringReadsTheWholeText)
{
    HWND hwnd = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, hwnd);
    std::string strLong(700, 'x');
    SetWindowTextA(hwnd, strLong.c_str());
    CCArray str;
    GetWindowString(hwnd, str);
    EXPECT_EQ(strLong, str.GetString());
    SetWindowTextA(hwnd, "");
    GetWindowString(hwnd, str);
    EXPECT_STREQ("", str.GetString());
    EXPECT_EQ(1, str.GetSize());
    DestroyWindow(hwnd);
}

TEST(WindowText, FitTextToWidthShortensWithDots)
{
    HDC hdc = CreateCompatibleDC(nullptr);
    ASSERT_NE(nullptr, hdc);
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    const char* pszText = "Z:\\a rather long folder name\\ServerLog.txt";
    int n = (int)strlen(pszText);
    SIZE full;
    GetTextExtentPoint32A(hdc, pszText, n, &full);

    CCArray str;
    EXPECT_EQ(full.cx, FitTextToWidth(hdc, pszText, n, full.cx, str));
    EXPECT_STREQ(pszText, str.GetString());
    EXPECT_EQ(0, FitTextToWidth(hdc, "", 0, 10, str));

    int nWidth = FitTextToWidth(hdc, pszText, n, full.cx / 2, str);
    std::string strOut = str.GetString();
    ASSERT_GT(strOut.size(), 3u);
    EXPECT_EQ("...", strOut.substr(strOut.size() - 3));
    EXPECT_EQ(0u, std::string(pszText).find(strOut.substr(0, strOut.size() - 3)));
    EXPECT_LE(nWidth, full.cx / 2);
    SIZE shown;
    GetTextExtentPoint32A(hdc, strOut.c_str(), (int)strOut.size(), &shown);
    EXPECT_EQ(shown.cx, nWidth);

    // Not even the dots fit: nothing remains.
    EXPECT_EQ(0, FitTextToWidth(hdc, pszText, n, 0, str));
    EXPECT_STREQ("", str.GetString());
    DeleteDC(hdc);
}
} // namespace

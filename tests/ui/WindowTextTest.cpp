// WindowTextTest.cpp: reading window texts and fitting a text to a width.
#include "ui/WindowText.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
TEST(WindowText, GetWindowStringReadsTheWholeText)
{
    HWND hwnd = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    std::string strLong(700, 'x');
    SetWindowTextA(hwnd, strLong.c_str());
    CCArray str;
    GetWindowString(hwnd, str);
    EXPECT_EQ(strLong, str.GetString());
    DestroyWindow(hwnd);
}

TEST(WindowText, FitTextToWidthShortensWithDots)
{
    HDC hdc = CreateCompatibleDC(nullptr);
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    const std::string strText = "Z:\\a rather long folder name\\ServerLog.txt";
    SIZE full;
    GetTextExtentPoint32A(hdc, strText.c_str(), (int)strText.size(), &full);
    CCArray str;
    EXPECT_EQ(full.cx, FitTextToWidth(hdc, strText.c_str(), (int)strText.size(), full.cx, str));
    EXPECT_EQ(strText, str.GetString());

    int nWidth = FitTextToWidth(hdc, strText.c_str(), (int)strText.size(), full.cx / 2, str);
    std::string strOut = str.GetString();
    ASSERT_GT(strOut.size(), 3u);
    EXPECT_EQ(strText.substr(0, strOut.size() - 3) + "...", strOut);
    SIZE shown;
    GetTextExtentPoint32A(hdc, strOut.c_str(), (int)strOut.size(), &shown);
    EXPECT_EQ(shown.cx, nWidth);
    EXPECT_LE(nWidth, full.cx / 2);
    // Not even the dots fit: nothing remains.
    EXPECT_EQ(0, FitTextToWidth(hdc, strText.c_str(), (int)strText.size(), 0, str));
    EXPECT_STREQ("", str.GetString());
    DeleteDC(hdc);
}
} // namespace

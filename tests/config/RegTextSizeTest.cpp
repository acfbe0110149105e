// RegTextSizeTest.cpp: a settings text near the store's 16 MB bound is read in time in
// proportion to its length (a 4.8 MB hex value once took 6.7 s, growing its byte
// array 8 bytes at a time).
#include "config/RegText.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace
{
const char szHead[] = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\n";

double SecondsToParse(const std::string& strText, CRegText& text)
{
    CCArray strError;
    auto t0 = std::chrono::steady_clock::now();
    bool bOk = text.Parse(strText.data(), strText.size(), strError);
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(bOk) << strError.GetString();
    return dSeconds;
}

// The bound is far above what a linear parse takes even under a sanitizer, and far below what
// the quadratic one took (minutes at these sizes).
const double MAX_SECONDS = 20.0;
} // namespace

TEST(RegTextSize, A15MegabyteHexValueOnOneLineParsesInLinearTime)
{
    const size_t nBytes = 5 * 1000 * 1000; // "xx," per byte: 15 MB of text
    std::string strText = szHead;
    strText += "\"IP Ranges\"=hex:";
    strText.reserve(strText.size() + 3 * nBytes + 2);
    for (size_t i = 0; i < nBytes; i++)
    {
        static const char szDigits[] = "0123456789abcdef";
        strText += szDigits[(i >> 4) & 15];
        strText += szDigits[i & 15];
        if (i + 1 < nBytes)
            strText += ',';
    }
    strText += '\n';
    CRegText text;
    double dSeconds = SecondsToParse(strText, text);
    EXPECT_LT(dSeconds, MAX_SECONDS);
    ASSERT_EQ(text.arrKeys.GetSize(), 1);
    const SRegValue* pValue = text.arrKeys.pData[0]->FindValue("IP Ranges");
    ASSERT_NE(pValue, nullptr);
    ASSERT_EQ(pValue->data.GetSize(), (int32_t)nBytes);
    EXPECT_EQ(pValue->data.pData[0x1234], 0x34);
    EXPECT_EQ(pValue->data.pData[nBytes - 1], (unsigned char)((nBytes - 1) & 0xFF));
}

TEST(RegTextSize, AHexValueWrappedOverManyLinesAndALongStringParseInLinearTime)
{
    // regedit's wrapping: 25 bytes a line, each line but the last ending in a backslash.
    const size_t nLines = 160 * 1000; // 4 million bytes, 12 MB of text
    std::string strText = szHead;
    strText += "\"IP Ranges\"=hex:";
    for (size_t nLine = 0; nLine < nLines; nLine++)
    {
        if (nLine > 0)
            strText += "  ";
        for (int i = 0; i < 25; i++)
            strText += i == 24 && nLine + 1 == nLines ? "ab" : "ab,";
        strText += nLine + 1 < nLines ? "\\\n" : "\n";
    }
    strText += "\"Log Folder\"=\"" + std::string(2 * 1000 * 1000, 'f') + "\"\n";
    CRegText text;
    double dSeconds = SecondsToParse(strText, text);
    EXPECT_LT(dSeconds, MAX_SECONDS);
    ASSERT_EQ(text.arrKeys.GetSize(), 1);
    const SRegValue* pRanges = text.arrKeys.pData[0]->FindValue("IP Ranges");
    ASSERT_NE(pRanges, nullptr);
    EXPECT_EQ(pRanges->data.GetSize(), (int32_t)(25 * nLines));
    const SRegValue* pFolder = text.arrKeys.pData[0]->FindValue("Log Folder");
    ASSERT_NE(pFolder, nullptr);
    EXPECT_EQ(pFolder->data.GetSize(), 2 * 1000 * 1000 + 1);
}

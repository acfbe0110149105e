// RegTextTest.cpp: the REGEDIT4 text form: what regedit writes reads back, what CRegText writes
// reads back byte for byte, and malformed or cut-short texts are refused with a reason.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/RegText.h"

namespace
{
typedef std::vector<unsigned char> Bytes;

Bytes ValueBytes(const SRegValue* p)
{
    return p ? Bytes(p->data.pData, p->data.pData + p->data.GetSize()) : Bytes();
}

bool Parse(CRegText& text, const std::string& s, std::string* pError = nullptr)
{
    CCArray strError;
    bool bOk = text.Parse(s.data(), s.size(), strError);
    if (pError)
        *pError = strError.GetString();
    return bOk;
}

std::string Write(const CRegText& text)
{
    CCArray str;
    text.Write(str);
    return std::string(str.GetString(), (size_t)str.GetLength());
}
} // namespace

TEST(RegText, ReadsWhatRegeditWrites)
{
    // As regedit exports it: CR LF, a blank line before each key, hex lists wrapped after a
    // backslash and indented by two spaces, lower-case hex, a dword, a default value, comments.
    const std::string s =
        "REGEDIT4\r\n"
        "\r\n"
        "; exported by hand\r\n"
        "[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\r\n"
        "\"Log Folder\"=\"C:\\\\Program Files\\\\Tollgate\\\\Log\"\r\n"
        "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
        "\"IP Ranges\"=hex:01,00,a8,c0,fe,00,a8,c0,01,00,00,0a,01,00,00,0a,01,00,00,0b,ff,\\\r\n"
        "  ff,ff,0b\r\n"
        "\"Auto Start\"=hex:01,00,00,00\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Number\"=dword:0000000a\r\n"
        "\"Expand\"=hex(2):25,00\r\n"
        "@=\"default\"\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
        "\"x\"=hex:ff\r\n";
    CRegText text;
    std::string strError;
    ASSERT_TRUE(Parse(text, s, &strError)) << strError;
    ASSERT_EQ(text.arrKeys.GetSize(), 2);
    SRegKeyText* pKey = text.FindKey("hkey_current_user\\software\\kestrel co\\tollgate", false);
    ASSERT_NE(pKey, nullptr);

    const char szFolder[] = "C:\\Program Files\\Tollgate\\Log";
    EXPECT_EQ(pKey->FindValue("Log Folder")->nType, 1u);
    EXPECT_EQ(ValueBytes(pKey->FindValue("LOG FOLDER")), Bytes(szFolder, szFolder + sizeof(szFolder)));
    EXPECT_EQ(ValueBytes(pKey->FindValue("Quote")), (Bytes{'s', 'a', 'y', ' ', '"', 'h', 'i', '"', 0}));
    Bytes ranges = ValueBytes(pKey->FindValue("IP Ranges"));
    ASSERT_EQ(ranges.size(), 24u);
    EXPECT_EQ(ranges[20], 0xFF);
    EXPECT_EQ(ranges[23], 0x0B);
    EXPECT_EQ(pKey->FindValue("IP Ranges")->nType, 3u);
    EXPECT_EQ(ValueBytes(pKey->FindValue("Auto Start")), (Bytes{1, 0, 0, 0}));
    ASSERT_NE(pKey->FindValue("Empty"), nullptr);
    EXPECT_TRUE(ValueBytes(pKey->FindValue("Empty")).empty());
    EXPECT_EQ(pKey->FindValue("Number")->nType, 4u);
    EXPECT_EQ(ValueBytes(pKey->FindValue("Number")), (Bytes{10, 0, 0, 0}));
    EXPECT_EQ(pKey->FindValue("Expand")->nType, 2u);
    EXPECT_EQ(ValueBytes(pKey->FindValue("")), (Bytes{'d', 'e', 'f', 'a', 'u', 'l', 't', 0}));
    EXPECT_EQ(pKey->FindValue("Missing"), nullptr);
}

TEST(RegText, WritesWhatItReadsBackByteForByte)
{
    CRegText text;
    SRegKeyText* pKey = text.FindKey("HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate", true);
    Bytes all(256);
    for (int i = 0; i < 256; i++)
        all[i] = (unsigned char)i;
    pKey->SetValue("Every Byte", 3, all.data(), 256);
    pKey->SetValue("Text \"with\" \\ escapes", 1, "a \\ \"b\"", 8);
    pKey->SetValue("No Terminator", 1, "abc", 3);
    pKey->SetValue("Inner Zero", 1, "a\0b", 4);
    pKey->SetValue("Line Break", 1, "a\r\nb", 5);
    pKey->SetValue("Empty Binary", 3, "", 0);
    pKey->SetValue("Empty String", 1, "", 1);
    pKey->SetValue("Dword", 4, "\x01\x02\x03\x04", 4);
    pKey->SetValue("Short Dword", 4, "\x01", 1);
    pKey->SetValue("", 7, "a\0\0", 3);
    text.FindKey("HKEY_CURRENT_USER\\Software\\Second", true)->SetValue("v", 3, "\x7F", 1);

    std::string s = Write(text);
    // Every line ends in CR LF and stays within regedit's width.
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = s.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1)
    {
        ASSERT_GT(nEnd, 0u);
        EXPECT_EQ(s[nEnd - 1], '\r');
        EXPECT_LE(nEnd - nStart, 80u);
    }
    EXPECT_EQ(nStart, s.size());
    EXPECT_NE(s.find("\"Text \\\"with\\\" \\\\ escapes\"=\"a \\\\ \\\"b\\\"\"\r\n"), std::string::npos);
    EXPECT_NE(s.find("\"Dword\"=dword:04030201\r\n"), std::string::npos);

    CRegText back;
    std::string strError;
    ASSERT_TRUE(Parse(back, s, &strError)) << strError;
    ASSERT_EQ(back.arrKeys.GetSize(), 2);
    for (int k = 0; k < 2; k++)
    {
        const SRegKeyText* pA = text.arrKeys[k];
        const SRegKeyText* pB = back.arrKeys[k];
        EXPECT_STREQ(pA->strPath.GetString(), pB->strPath.GetString());
        ASSERT_EQ(pA->arrValues.GetSize(), pB->arrValues.GetSize());
        for (int v = 0; v < pA->arrValues.GetSize(); v++)
        {
            SCOPED_TRACE(pA->arrValues[v]->strName.GetString());
            EXPECT_STREQ(pA->arrValues[v]->strName.GetString(), pB->arrValues[v]->strName.GetString());
            EXPECT_EQ(pA->arrValues[v]->nType, pB->arrValues[v]->nType);
            EXPECT_EQ(ValueBytes(pA->arrValues[v]), ValueBytes(pB->arrValues[v]));
        }
    }
    EXPECT_EQ(Write(back), s);
}

TEST(RegText, CommentsGoAboveTheValuesTheyNameInEveryKeyAndReadBackAsNothing)
{
    CRegText text;
    SRegKeyText* pKey = text.FindKey("HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate", true);
    pKey->SetValue("Socks4", 3, "\x01\0\0\0", 4);
    pKey->SetValue("Log Folder", 1, "x", 2);
    text.FindKey("HKEY_CURRENT_USER\\Software\\Other", true)->SetValue("Socks4", 1, "y", 2);
    // A name that only starts with a commented one gets no comment.
    text.arrKeys[1]->SetValue("Socks45", 1, "z", 2);
    const SRegValueComment comments[] = {
        {"Socks4", "; one\r\n; two\r\n"},
        {"Missing", "; never written\r\n"},
        {nullptr, nullptr},
    };
    CCArray str;
    text.Write(str, comments);
    const std::string s = str.GetString();
    EXPECT_NE(s.find("]\r\n; one\r\n; two\r\n\"Socks4\"=hex:01,00,00,00\r\n\"Log Folder\"=\"x\"\r\n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("]\r\n; one\r\n; two\r\n\"Socks4\"=\"y\"\r\n\"Socks45\"=\"z\"\r\n"), std::string::npos)
        << s;
    EXPECT_EQ(s.find("never written"), std::string::npos);

    // Without the comment lines the text is what Write gives without a table.
    std::string strBare = s;
    for (size_t n; (n = strBare.find("; one\r\n; two\r\n")) != std::string::npos;)
        strBare.erase(n, strlen("; one\r\n; two\r\n"));
    EXPECT_EQ(strBare, Write(text));
    CRegText back;
    std::string strError;
    ASSERT_TRUE(Parse(back, s, &strError)) << strError;
    EXPECT_EQ(Write(back), strBare);
}

TEST(RegText, ReplacingAValueKeepsItsPlaceAndSpelling)
{
    CRegText text;
    SRegKeyText* pKey = text.FindKey("K", true);
    pKey->SetValue("Auto Start", 3, "\x01\0\0\0", 4);
    pKey->SetValue("Log", 3, "\0\0\0\0", 4);
    pKey->SetValue("AUTO START", 3, "\0\0\0\0", 4);
    ASSERT_EQ(pKey->arrValues.GetSize(), 2);
    EXPECT_STREQ(pKey->arrValues[0]->strName.GetString(), "Auto Start");
    EXPECT_EQ(ValueBytes(pKey->arrValues[0]), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(text.FindKey("k", true), pKey);
}

TEST(RegText, RefusesMalformedTextsWithTheirLineAndReason)
{
    const struct
    {
        const char* pszText;
        const char* pszReason; // part of the message
    } aCases[] = {
        {"", "empty"},
        {"REGEDIT5\r\n", "line 1: the first line"},
        {"REGEDIT4\r\n\"a\"=hex:01\r\n", "line 2: a value comes before"},
        {"REGEDIT4\r\n[K\r\n", "line 2: a key line does not end"},
        {"REGEDIT4\r\n[]\r\n", "names no key"},
        {"REGEDIT4\r\n[-K]\r\n", "deletions"},
        {"REGEDIT4\r\n[K]\r\nnonsense\r\n", "line 3: expected"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=\"open\r\n", "no closing quote"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=\"C:\\Temp\"\r\n", "backslash"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=\"x\" y\r\n", "follows the closing quote"},
        {"REGEDIT4\r\n[K]\r\n\"a\" hex:01\r\n", "not followed by '='"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=-\r\n", "deletions"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=word:1\r\n", "neither a string"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex:01,zz\r\n", "hex bytes"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex:01 02\r\n", "separated by commas"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex:123\r\n", "separated by commas"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex(x):01\r\n", "no valid type"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=dword:123456789\r\n", "dword"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=dword:\r\n", "dword"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex:01,\\\r\n", "cut short"},
        {"REGEDIT4\r\n[K]\r\n\"a\"=hex:01", "no line end"},
    };
    for (const auto& c : aCases)
    {
        SCOPED_TRACE(c.pszText);
        CRegText text;
        std::string strError;
        EXPECT_FALSE(Parse(text, c.pszText, &strError));
        EXPECT_NE(strError.find(c.pszReason), std::string::npos) << strError;
        EXPECT_EQ(text.arrKeys.GetSize(), 0);
    }

    CRegText text;
    std::string strError;
    const char szZero[] = "REGEDIT4\r\n[K]\r\n\"a\"=\"x\0y\"\r\n";
    EXPECT_FALSE(Parse(text, std::string(szZero, sizeof(szZero) - 1), &strError));
    EXPECT_NE(strError.find("zero byte"), std::string::npos) << strError;
}

TEST(RegText, EveryCutOfAWrittenFileIsRefused)
{
    CRegText text;
    SRegKeyText* pKey = text.FindKey("HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate", true);
    Bytes ranges(64, 0xAB);
    pKey->SetValue("Auto Start", 3, "\x01\0\0\0", 4);
    pKey->SetValue("IP Ranges", 3, ranges.data(), 64);
    pKey->SetValue("Socks5 Userid", 1, "user", 5);
    const std::string s = Write(text);

    CRegText whole;
    ASSERT_TRUE(Parse(whole, s));
    // Cut at any byte - also right after a complete line, where the text alone would look whole -
    // the missing end comment or line end gives it away.
    for (size_t n = 0; n < s.size(); n++)
    {
        // The header line alone is a complete, empty REGEDIT4 text.
        if (n == strlen("REGEDIT4\r\n"))
            continue;
        CRegText cut;
        EXPECT_FALSE(Parse(cut, s.substr(0, n))) << "cut after " << n << " of " << s.size() << " bytes";
    }
}

TEST(RegText, TextsWithoutTheSignatureNeedNoEndComment)
{
    CRegText text;
    EXPECT_TRUE(Parse(text, "REGEDIT4\n[K]\n\"a\"=hex:01\n"));
    // The signature counts only as the second line, where Write puts it.
    EXPECT_TRUE(Parse(text, std::string("REGEDIT4\n\n") + g_szRegTextSignature + "\n[K]\n"));
    EXPECT_FALSE(Parse(text, std::string("REGEDIT4\n") + g_szRegTextSignature + "\n[K]\n"));
    EXPECT_TRUE(
        Parse(text, std::string("REGEDIT4\n") + g_szRegTextSignature + "\n[K]\n" + g_szRegTextEnd + "\n"));
}

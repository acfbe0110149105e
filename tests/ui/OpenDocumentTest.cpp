// OpenDocumentTest.cpp: which command line OpenDocument starts, as the fake viewer records it.
#include "ui/OpenDocument.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/win32/FakeViewer.h"

namespace
{
const char kAppPaths[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\fakeviewer.exe";

// A document in a folder whose name has a space, so its short form differs from it.
class OpenDocumentTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char szTemp[MAX_PATH];
        GetTempPathA(sizeof(szTemp), szTemp);
        strFolder = std::string(szTemp) + "tg open test " + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(strFolder.c_str(), nullptr);
        strDocument = strFolder + "\\Server Log.txt";
        std::ofstream(strDocument) << "x";
    }
    void TearDown() override
    {
        DeleteFileA(strDocument.c_str());
        RemoveDirectoryA(strFolder.c_str());
    }

    std::string ShortDocument() const
    {
        char szShort[MAX_PATH];
        EXPECT_NE(0u, GetShortPathNameA(strDocument.c_str(), szShort, sizeof(szShort)));
        return szShort;
    }

    std::string strFolder;
    std::string strDocument;
};

TEST_F(OpenDocumentTest, PlaceholderGetsTheLongPathForA32BitViewer)
{
    CFakeViewer viewer(".txt", "\"{viewer}\" \"%1\"");
    ASSERT_TRUE(OpenDocument(strDocument.c_str(), ".txt"));
    std::vector<std::string> lines = viewer.WaitForLines(1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("\"" + CFakeViewer::ViewerPath() + "\" \"" + strDocument + "\"", lines[0]);
}

TEST_F(OpenDocumentTest, OpennewWinsOverOpen)
{
    CFakeViewer viewer(".html", "\"{viewer}\" open \"%1\"");
    viewer.AddVerb("opennew", "\"{viewer}\" opennew %L");
    ASSERT_TRUE(OpenDocument(strDocument.c_str(), ".html"));
    std::vector<std::string> lines = viewer.WaitForLines(1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("\"" + CFakeViewer::ViewerPath() + "\" opennew " + strDocument, lines[0]);
}

TEST_F(OpenDocumentTest, TemplateWithoutPlaceholderGetsTheDocumentQuotedAndShortWhenAsked)
{
    // Environment variables in the template are expanded before the program is looked for.
    SetEnvironmentVariableA("TG_VIEWER_DIR", CFakeViewer::ProgramFolder().c_str());
    CFakeViewer plain(".txt", "\"%TG_VIEWER_DIR%fakeviewer.exe\"");
    ASSERT_TRUE(OpenDocument(strDocument.c_str(), ".txt"));
    std::vector<std::string> lines = plain.WaitForLines(1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("\"" + CFakeViewer::ViewerPath() + "\" \"" + strDocument + "\"", lines[0]);

    HKEY hKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAppPaths, 0, nullptr, 0, KEY_WRITE, nullptr,
                                             &hKey, nullptr));
    RegSetValueExA(hKey, "UseShortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
    RegCloseKey(hKey);
    EXPECT_FALSE(AcceptsLongFileNames(CFakeViewer::ViewerPath().c_str()));
    bool bOpened = OpenDocument(strDocument.c_str(), ".txt");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAppPaths);
    ASSERT_TRUE(bOpened);
    lines = plain.WaitForLines(2);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("\"" + CFakeViewer::ViewerPath() + "\" \"" + ShortDocument() + "\"", lines[1]);
}

TEST_F(OpenDocumentTest, RefusedTemplateOrMissingRegistrationStartsNothing)
{
    CFakeViewer viewer(".txt", "\"{viewer}\" \"%1\" %D");
    EXPECT_FALSE(OpenDocument(strDocument.c_str(), ".txt"));
    EXPECT_FALSE(OpenDocument(strDocument.c_str(), ".tgnone"));
    CCArray strTemplate;
    FindOpenCommand(".tgnone", strTemplate);
    EXPECT_TRUE(strTemplate.IsEmpty());
    EXPECT_EQ(0u, viewer.WaitForLines(1, 300).size());
}

// A file of the given bytes in the test folder.
std::string WriteFile(const std::string& strFolder, const char* pszName, const std::string& strBytes)
{
    std::string strPath = strFolder + "\\" + pszName;
    std::ofstream(strPath, std::ios::binary) << strBytes;
    return strPath;
}

TEST_F(OpenDocumentTest, ExeTypeFromExtensionAndHeaders)
{
    EXPECT_EQ((uint32_t)EXETYPE_PE, GetExeType(CFakeViewer::ViewerPath().c_str()));
    EXPECT_EQ((uint32_t)EXETYPE_PE, GetExeType("C:\\x\\run.BAT"));
    EXPECT_EQ((uint32_t)EXETYPE_PE, GetExeType("run.cmd"));
    EXPECT_EQ((uint32_t)EXETYPE_MZ, GetExeType("C:\\x\\old.com"));
    EXPECT_EQ(0u, GetExeType("C:\\x\\view.scr"));
    EXPECT_EQ(0u, GetExeType("C:\\x\\view.exe.lnk"));
    EXPECT_FALSE(AcceptsLongFileNames("C:\\x\\old.com"));

    // DOS header pointing at offset 64, then a 16-bit Windows header for Windows 3.10.
    std::string strNe(128, '\0');
    strNe[0] = 'M', strNe[1] = 'Z', strNe[60] = 64;
    strNe[64] = 'N', strNe[65] = 'E', strNe[64 + 54] = 2, strNe[64 + 62] = 0x0A, strNe[64 + 63] = 3;
    std::string strPath = WriteFile(strFolder, "win16.exe", strNe);
    EXPECT_EQ((uint32_t)MAKELONG(EXETYPE_NE, 0x030A), GetExeType(strPath.c_str()));
    EXPECT_FALSE(AcceptsLongFileNames(strPath.c_str()));
    strNe[64 + 54] = 1; // OS/2: a plain DOS program for this purpose
    WriteFile(strFolder, "win16.exe", strNe);
    EXPECT_EQ((uint32_t)EXETYPE_MZ, GetExeType(strPath.c_str()));
    DeleteFileA(strPath.c_str());
    std::string strShort = WriteFile(strFolder, "short.exe", "MZ too short");
    EXPECT_EQ(0u, GetExeType(strShort.c_str()));
    DeleteFileA(strShort.c_str());
}
} // namespace

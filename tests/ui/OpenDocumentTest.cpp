// OpenDocumentTest.cpp: which command line OpenDocument starts, as the fake viewer records it, and
// how viewers are told apart.
#include "ui/OpenDocument.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/win32/FakeViewer.h"

namespace
{
const char kAppPaths[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\fakeviewer.exe";
const std::string kViewer = "\"" + CFakeViewer::ViewerPath() + "\"";

// A document whose folder has a space in its name, so its short form differs from it.
class OpenDocumentTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char szTemp[MAX_PATH];
        GetTempPathA(sizeof(szTemp), szTemp);
        strFolder = std::string(szTemp) + "tg open " + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(strFolder.c_str(), nullptr);
        strDocument = WriteFile("Server Log.txt", "x");
    }
    void TearDown() override
    {
        for (const std::string& strFile : files)
            DeleteFileA(strFile.c_str());
        RemoveDirectoryA(strFolder.c_str());
    }
    std::string WriteFile(const char* pszName, const std::string& strBytes)
    {
        files.push_back(strFolder + "\\" + pszName);
        std::ofstream(files.back(), std::ios::binary) << strBytes;
        return files.back();
    }

    std::string strFolder, strDocument;
    std::vector<std::string> files;
    CFakeViewer viewer;
};

TEST_F(OpenDocumentTest, StartsTheRegisteredCommandFilledIn)
{
    viewer.Register(".txt", "\"{viewer}\" \"%1\"");
    ASSERT_TRUE(OpenDocument(strDocument.c_str(), ".txt"));
    // One viewer at a time, so that their lines come in order.
    ASSERT_EQ(1u, viewer.WaitForLines(1).size());
    viewer.Register(".html", "\"{viewer}\" open \"%1\"");
    viewer.Register(".html", "\"{viewer}\" opennew %L", "opennew");
    ASSERT_TRUE(OpenDocument(strDocument.c_str(), ".html"));
    EXPECT_EQ(
        (std::vector<std::string>{kViewer + " \"" + strDocument + "\"", kViewer + " opennew " + strDocument}),
        viewer.WaitForLines(2));
}

TEST_F(OpenDocumentTest, TemplateWithoutPlaceholderGetsTheDocumentQuotedAndShortWhenAsked)
{
    // Environment variables are expanded before the program is looked for.
    SetEnvironmentVariableA("TG_VIEWER_DIR", CFakeViewer::ProgramFolder().c_str());
    viewer.Register(".txt", "\"%TG_VIEWER_DIR%fakeviewer.exe\"");
    ASSERT_TRUE(OpenDocument(strDocument.c_str(), ".txt"));
    ASSERT_EQ(1u, viewer.WaitForLines(1).size());
    HKEY hKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, kAppPaths, &hKey));
    RegSetValueExA(hKey, "UseShortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
    RegCloseKey(hKey);
    bool bOpened = OpenDocument(strDocument.c_str(), ".txt");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAppPaths);
    ASSERT_TRUE(bOpened);
    char szShort[MAX_PATH];
    ASSERT_NE(0u, GetShortPathNameA(strDocument.c_str(), szShort, sizeof(szShort)));
    EXPECT_EQ(
        (std::vector<std::string>{kViewer + " \"" + strDocument + "\"", kViewer + " \"" + szShort + "\""}),
        viewer.WaitForLines(2));
}

TEST_F(OpenDocumentTest, RefusedTemplateOrMissingRegistrationStartsNothing)
{
    viewer.Register(".txt", "\"{viewer}\" \"%1\" %D");
    EXPECT_FALSE(OpenDocument(strDocument.c_str(), ".txt"));
    EXPECT_FALSE(OpenDocument(strDocument.c_str(), ".tgnone"));
    EXPECT_EQ(0u, viewer.WaitForLines(1, 300).size());
}

TEST_F(OpenDocumentTest, ExeTypeFromExtensionAndHeaders)
{
    EXPECT_EQ((uint32_t)EXETYPE_PE, GetExeType(CFakeViewer::ViewerPath().c_str()));
    EXPECT_EQ((uint32_t)EXETYPE_PE, GetExeType("C:\\x\\run.BAT"));
    EXPECT_EQ((uint32_t)EXETYPE_MZ, GetExeType("C:\\x\\old.com"));
    EXPECT_EQ(0u, GetExeType("C:\\x\\view.scr"));
    EXPECT_FALSE(AcceptsLongFileNames("C:\\x\\old.com"));
    EXPECT_EQ(0u, GetExeType(WriteFile("short.exe", "MZ too short").c_str()));

    // A DOS header pointing at a 16-bit Windows header at 64, for Windows 3.10.
    std::string strNe(128, '\0');
    strNe[0] = 'M', strNe[1] = 'Z', strNe[60] = 64;
    strNe[64] = 'N', strNe[65] = 'E', strNe[64 + 54] = 2, strNe[64 + 62] = 0x0A, strNe[64 + 63] = 3;
    std::string strPath = WriteFile("win16.exe", strNe);
    EXPECT_EQ((uint32_t)MAKELONG(EXETYPE_NE, 0x030A), GetExeType(strPath.c_str()));
    EXPECT_FALSE(AcceptsLongFileNames(strPath.c_str()));
    strNe[64 + 54] = 1; // for OS/2: only a DOS program to Windows
    EXPECT_EQ((uint32_t)EXETYPE_MZ, GetExeType(WriteFile("os2.exe", strNe).c_str()));
}
} // namespace

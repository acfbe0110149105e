// HtmlReportTest.cpp: the snapshot page's bytes, its escaping as a browser reads it, numbering
// and failures.
#include "logging/HtmlReport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/Paths.h"
#include "engine/SessionTable.h"
#include "tests/platform/TestFolder.h"

namespace fs = std::filesystem;

namespace
{
const char kHostileUser[] = "<script>document.body.id='owned'</script><img src=x onerror=\"alert(1)\">&amp;";

std::string ReadAll(const std::string& strPath)
{
    std::ostringstream out;
    out << std::ifstream(strPath, std::ios::binary).rdbuf();
    return out.str();
}

sockaddr_in Endpoint(const char* pszAddr, int nPort)
{
    sockaddr_in sa = {};
    sa.sin_addr.s_addr = inet_addr(pszAddr);
    sa.sin_port = htons((unsigned short)nPort);
    return sa;
}

// A fresh temporary folder of its own (test processes run side by side), an empty session table,
// and a host that records what it is asked.
class HtmlReportTest : public ::testing::Test, public IReportHost
{
protected:
    void SetUp() override { g_paths.strTempFolder = (testFolder.Path() + PATH_SEPARATOR_STR).c_str(); }
    void TearDown() override
    {
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.RemoveAll();
    }
    void ShowReportFailure(const char* pszMessage) override { failures.push_back(pszMessage); }
    void OpenReport(const char* pszPath) override { opened.push_back(pszPath); }

    static SCSTask* AddSession(uint32_t dwId, int64_t nAge, int nVersion, const char* pszUser,
                               const char* pszClient)
    {
        SCSTask* pTask = NewSessionRecord(INVALID_SOCKET);
        pTask->dwSessionId = dwId;
        pTask->tStart -= nAge;
        pTask->nVersion = nVersion;
        snprintf(pTask->szUser, sizeof(pTask->szUser), "%s", pszUser);
        pTask->saClient = Endpoint(pszClient, 4000 + dwId);
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.Insert(pTask);
        return pTask;
    }

    CTestFolder testFolder;
    fs::path folder = testFolder.Path();
    std::vector<std::string> failures, opened;
};

TEST_F(HtmlReportTest, OneRowPerSessionInTableOrderEveryTextEscaped)
{
    SCSTask* pUdp = AddSession(30, 100 * 3600 + 2 * 60 + 3, 5, "alice", "127.0.0.1");
    memset(&pUdp->saDest, 0xFF, sizeof(pUdp->saDest));
    pUdp->nState = SESSION_UDP_READY;
    AddSession(7, 0, 0, "", "0.0.0.0");
    SCSTask* pTcp = AddSession(12, 61, 4, kHostileUser, "192.168.0.9");
    pTcp->saDest = Endpoint("93.184.216.34", 80);
    pTcp->nState = SESSION_TCP_READY;

    WriteHtmlReport(*this);
    ASSERT_EQ(std::vector<std::string>{(folder / "ausrep.html").string()}, opened);
    EXPECT_EQ(
        std::string(g_szReportHead) +
            "<TR><TD>00:00:00</TD><TD>&nbsp;</TD><TD>&nbsp;</TD><TD>&nbsp;</TD><TD>&nbsp;</TD><TD>idle</TD>"
            "</TR>\r\n<TR><TD>00:01:01</TD><TD>4</TD><TD>&lt;script&gt;document.body.id='owned'&lt;/"
            "script&gt;"
            "&lt;img src=x onerror=&quot;alert(1)&quot;&gt;&amp;amp;</TD><TD>192.168.0.9:4012</TD>"
            "<TD>93.184.216.34:80</TD><TD>TCP tunnel ready</TD></TR>\r\n"
            "<TR><TD>100:02:03</TD><TD>5</TD><TD>alice</TD><TD>127.0.0.1:4030</TD><TD>(UDP ASSOCIATE)</TD>"
            "<TD>UDP relay ready</TD></TR>\r\n" +
            g_szReportTail,
        ReadAll(opened[0]));
    EXPECT_STREQ("2777777:46:39", FormatDuration(9999999999LL).GetString());
}

TEST_F(HtmlReportTest, EmptyTableStillGivesAPageAndTheSecondIsNumbered)
{
    WriteHtmlReport(*this);
    WriteHtmlReport(*this);
    ASSERT_EQ(2u, opened.size());
    EXPECT_EQ((folder / "ausrep[1].html").string(), opened[1]);
    EXPECT_EQ(std::string(g_szReportHead) + g_szReportTail, ReadAll(opened[1]));
    EXPECT_EQ(193u + 26u, ReadAll(opened[1]).size());

    g_paths.strTempFolder = (folder.string() + "/missing/").c_str();
    WriteHtmlReport(*this);
    EXPECT_EQ(2u, opened.size());
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(0u, failures[0].find("Failed to create a temporary file:\n\n")) << failures[0];
}

#ifndef _WIN32
// The page as a browser sees it: the hostile user id stays text, no element of its own appears.
TEST_F(HtmlReportTest, BrowserShowsInjectedMarkupAsText)
{
    if (system("command -v chromium >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "chromium is not installed: the browser check is skipped";
    AddSession(3, 1, 4, kHostileUser, "127.0.0.1");
    WriteHtmlReport(*this);
    ASSERT_EQ(1u, opened.size());
    std::string strCommand = "timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic "
                             "--no-first-run --disable-background-networking --disable-component-update "
                             "--disable-sync --user-data-dir='" +
                             (folder / "profile").string() + "' --dump-dom 'file://" + opened[0] +
                             "' 2>/dev/null";
    FILE* pPipe = popen(strCommand.c_str(), "r");
    ASSERT_NE(nullptr, pPipe);
    std::string strDom;
    char szBuffer[4096];
    for (size_t n; (n = fread(szBuffer, 1, sizeof(szBuffer), pPipe)) > 0;)
        strDom.append(szBuffer, n);
    ASSERT_EQ(0, pclose(pPipe)) << strDom;

    ASSERT_NE(std::string::npos, strDom.find("<td>127.0.0.1:4003</td>")) << strDom;
    EXPECT_NE(std::string::npos,
              strDom.find("&lt;script&gt;document.body.id='owned'&lt;/script&gt;&lt;img src=x "
                          "onerror=\"alert(1)\"&gt;&amp;amp;"))
        << strDom;
    EXPECT_EQ(std::string::npos, strDom.find("<script")) << strDom;
    EXPECT_EQ(std::string::npos, strDom.find("<img")) << strDom;
    EXPECT_EQ(std::string::npos, strDom.find("id=\"owned\"")) << strDom;
}
#endif
} // namespace

// The writer without a window: the page at any path, renumbered, and what went wrong.
TEST_F(HtmlReportTest, TheFileWriterTakesAnyPathAndSaysWhatFailed)
{
    AddSession(5, 2, 5, "bob", "127.0.0.2");
    CCArray strPath((folder / "Snapshot.html").string().c_str()), strError;
    ASSERT_EQ(REPORT_WRITTEN, WriteHtmlReportFile(strPath, strError));
    EXPECT_EQ((folder / "Snapshot.html").string(), strPath.GetString());
    std::string strPage = ReadAll(strPath.GetString());
    EXPECT_NE(std::string::npos, strPage.find("<TD>bob</TD><TD>127.0.0.2:4005</TD>")) << strPage;
    strPath = (folder / "Snapshot.html").string().c_str();
    ASSERT_EQ(REPORT_WRITTEN, WriteHtmlReportFile(strPath, strError));
    EXPECT_EQ((folder / "Snapshot[1].html").string(), strPath.GetString());
    strPath = (folder / "missing" / "Snapshot.html").string().c_str();
    EXPECT_EQ(REPORT_CREATE_FAILED, WriteHtmlReportFile(strPath, strError));
    EXPECT_FALSE(strError.IsEmpty());
    EXPECT_TRUE(opened.empty() && failures.empty());
}

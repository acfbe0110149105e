// HtmlReportTest.cpp: the session-table snapshot page: its bytes, its escaping, numbering and failures.
#include "logging/HtmlReport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "config/Paths.h"
#include "engine/SessionTable.h"

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

namespace fs = std::filesystem;

namespace
{
const char kHostileUser[] = "<script>document.body.id='owned'</script><img src=x onerror=\"alert(1)\">&amp;";

class RecordingHost : public IReportHost
{
public:
    void ShowReportFailure(const char* pszMessage) override { failures.push_back(pszMessage); }
    void OpenReport(const char* pszPath) override { opened.push_back(pszPath); }

    std::vector<std::string> failures;
    std::vector<std::string> opened;
};

std::string ReadAll(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

sockaddr_in Endpoint(const char* pszAddr, int nPort)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr(pszAddr);
    sa.sin_port = htons((unsigned short)nPort);
    return sa;
}

// The temporary folder points at a fresh folder; the session table is emptied before and after.
class HtmlReportTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static std::atomic<int> nSerial(0);
        folder = fs::temp_directory_path() /
                 ("tg-report-" + std::to_string(SysTicksMs()) + "-" + std::to_string(nSerial++));
        fs::create_directories(folder);
        strSavedTemp = g_paths.strTempFolder.GetString();
        g_paths.strTempFolder = (folder.string() + PATH_SEPARATOR_STR).c_str();
        ClearTable();
    }
    void TearDown() override
    {
        ClearTable();
        g_paths.strTempFolder = strSavedTemp.c_str();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

    static void ClearTable()
    {
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.RemoveAll();
    }

    static SCSTask* AddSession(uint32_t dwId, int64_t nAge, int nVersion, const char* pszUser)
    {
        SCSTask* pTask = NewSessionRecord(INVALID_SOCKET);
        pTask->dwSessionId = dwId;
        pTask->tStart = SysTimeNow() - nAge;
        pTask->nVersion = nVersion;
        snprintf(pTask->szUser, sizeof(pTask->szUser), "%s", pszUser);
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.Insert(pTask);
        return pTask;
    }

    std::string PathOf(const char* pszName) const { return (folder / pszName).string(); }

    fs::path folder;
    std::string strSavedTemp;
    RecordingHost host;
};

TEST(FormatDuration, HoursHaveTwoDigitsAtLeastAndNoLimit)
{
    EXPECT_STREQ("00:00:00", FormatDuration(0).GetString());
    EXPECT_STREQ("00:01:05", FormatDuration(65).GetString());
    EXPECT_STREQ("100:02:03", FormatDuration(100 * 3600 + 2 * 60 + 3).GetString());
    EXPECT_STREQ("2777777:46:39", FormatDuration(9999999999LL).GetString());
}

TEST(AppendHtmlText, EscapesTheFourMarkupCharactersOnly)
{
    CCArray str("x");
    AppendHtmlText(str, "a&b<c>d\"e'f");
    EXPECT_STREQ("xa&amp;b&lt;c&gt;d&quot;e'f", str.GetString());
}

TEST_F(HtmlReportTest, PageHoldsOneRowPerSessionInTableOrder)
{
    SCSTask* pUdp = AddSession(30, 100 * 3600 + 2 * 60 + 3, 5, "alice");
    pUdp->saClient = Endpoint("127.0.0.1", 4000);
    memset(&pUdp->saDest, 0xFF, sizeof(pUdp->saDest));
    pUdp->nState = SESSION_UDP_READY;
    SCSTask* pNew = AddSession(7, 0, 0, "");
    pNew->saClient = Endpoint("10.1.2.3", 65535);
    SCSTask* pTcp = AddSession(12, 61, 4, kHostileUser);
    pTcp->saClient = Endpoint("192.168.0.9", 1);
    pTcp->saDest = Endpoint("93.184.216.34", 80);
    pTcp->nState = SESSION_TCP_READY;

    WriteHtmlReport(host);

    ASSERT_EQ(0u, host.failures.size());
    ASSERT_EQ(1u, host.opened.size());
    EXPECT_EQ(PathOf("ausrep.html"), host.opened[0]);
    std::string strExpected =
        std::string(g_szReportHead) +
        "<TR><TD>00:00:00</TD><TD>&nbsp;</TD><TD>&nbsp;</TD><TD>10.1.2.3:65535</TD>"
        "<TD>&nbsp;</TD><TD>idle</TD></TR>\r\n"
        "<TR><TD>00:01:01</TD><TD>4</TD><TD>&lt;script&gt;document.body.id='owned'&lt;/"
        "script&gt;&lt;img src=x onerror=&quot;alert(1)&quot;&gt;&amp;amp;</TD>"
        "<TD>192.168.0.9:1</TD><TD>93.184.216.34:80</TD><TD>TCP tunnel ready</TD></TR>\r\n"
        "<TR><TD>100:02:03</TD><TD>5</TD><TD>alice</TD><TD>127.0.0.1:4000</TD>"
        "<TD>(UDP ASSOCIATE)</TD><TD>UDP relay ready</TD></TR>\r\n" +
        g_szReportTail;
    EXPECT_EQ(strExpected, ReadAll(host.opened[0]));
}

TEST_F(HtmlReportTest, EmptyTableGivesHeadAndTailAndIsStillOpened)
{
    WriteHtmlReport(host);
    ASSERT_EQ(1u, host.opened.size());
    EXPECT_EQ(std::string(g_szReportHead) + g_szReportTail, ReadAll(host.opened[0]));
    EXPECT_EQ(193u, strlen(g_szReportHead));
    EXPECT_EQ(26u, strlen(g_szReportTail));
}

TEST_F(HtmlReportTest, SecondExportIsNumbered)
{
    WriteHtmlReport(host);
    WriteHtmlReport(host);
    ASSERT_EQ(2u, host.opened.size());
    EXPECT_EQ(PathOf("ausrep.html"), host.opened[0]);
    EXPECT_EQ(PathOf("ausrep[1].html"), host.opened[1]);
}

TEST_F(HtmlReportTest, MissingFolderShowsTheCreateFailureAndOpensNothing)
{
    g_paths.strTempFolder = (folder.string() + "/missing/").c_str();
    WriteHtmlReport(host);
    EXPECT_EQ(0u, host.opened.size());
    ASSERT_EQ(1u, host.failures.size());
    EXPECT_EQ(0u, host.failures[0].find("Failed to create a temporary file:\n\n")) << host.failures[0];
    EXPECT_GT(host.failures[0].size(), strlen("Failed to create a temporary file:\n\n"));
}

#ifndef _WIN32
// A file-size limit below the head's size makes the first write fail.
TEST_F(HtmlReportTest, FailedWriteShowsTheWriteFailureAndLeavesTheLock)
{
    AddSession(1, 5, 5, "bob");
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    void (*pOldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    WriteHtmlReport(host);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, pOldHandler);

    EXPECT_EQ(0u, host.opened.size());
    ASSERT_EQ(1u, host.failures.size());
    EXPECT_EQ(0u, host.failures[0].find("Error writing to a file:\n\n")) << host.failures[0];
    // Another thread can take the session-table lock at once.
    auto taken = std::async(std::launch::async,
                            []
                            {
                                CScopedLock lock(g_csSessionTable);
                                return true;
                            });
    ASSERT_EQ(std::future_status::ready, taken.wait_for(std::chrono::seconds(10)));
}

// The page as a browser sees it: the hostile user id stays text, no element of its own appears.
TEST_F(HtmlReportTest, BrowserShowsInjectedMarkupAsText)
{
    if (system("command -v chromium >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "chromium is not installed: the browser check is skipped";
    SCSTask* pTask = AddSession(3, 1, 4, kHostileUser);
    pTask->saClient = Endpoint("127.0.0.1", 5000);
    WriteHtmlReport(host);
    ASSERT_EQ(1u, host.opened.size());

    fs::path profile = folder / "profile";
    fs::create_directories(profile);
    std::string strCommand = "timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic "
                             "--no-first-run --disable-background-networking --disable-component-update "
                             "--disable-sync --user-data-dir='" +
                             profile.string() + "' --dump-dom 'file://" + host.opened[0] + "' 2>/dev/null";
    FILE* pPipe = popen(strCommand.c_str(), "r");
    ASSERT_NE(nullptr, pPipe);
    std::string strDom;
    char szBuffer[4096];
    size_t n;
    while ((n = fread(szBuffer, 1, sizeof(szBuffer), pPipe)) > 0)
        strDom.append(szBuffer, n);
    ASSERT_EQ(0, pclose(pPipe)) << strDom;

    ASSERT_NE(std::string::npos, strDom.find("<td>127.0.0.1:5000</td>")) << strDom;
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

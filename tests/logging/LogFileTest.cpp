// LogFileTest.cpp: the session log's file, legend, line format, numbering, locking and failures.
#include "logging/LogFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <locale>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/TextHelpers.h"
#include "tests/platform/TestFolder.h"

namespace fs = std::filesystem;

namespace
{
const std::string kLegend =
    "#\r\n# Legend: \"Date\" \"Version\" \"User\" \"Source\" \"Destination\" \"Status\" \"Error\"\r\n#\r\n\r\n";

// Splits a line of seven quoted fields, one space apart, whose texts hold no double quote.
bool SplitFields(const std::string& strLine, std::vector<std::string>* pFields)
{
    pFields->clear();
    if (strLine.size() < 2 || strLine.front() != '"' || strLine.back() != '"')
        return false;
    std::string strInner = strLine.substr(1, strLine.size() - 2);
    size_t nPos = 0;
    for (;;)
    {
        size_t nEnd = strInner.find("\" \"", nPos);
        pFields->push_back(strInner.substr(nPos, nEnd == std::string::npos ? std::string::npos : nEnd - nPos));
        if (nEnd == std::string::npos)
            break;
        nPos = nEnd + 3;
    }
    for (const std::string& str : *pFields)
    {
        if (str.find('"') != std::string::npos)
            return false;
    }
    return pFields->size() == 7;
}

// A fresh folder of its own for each test, removed afterwards.
class LogFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        nReports = 0;
        strLastReport.clear();
        CLogFile::SetFailureReporter(&Report);
    }
    void TearDown() override { CLogFile::SetFailureReporter(nullptr); }

    static void Report(const char* pszMessage)
    {
        nReports++;
        strLastReport = pszMessage;
    }

    std::string PathOf(const char* pszName) const { return (folder / pszName).string(); }

    static std::string ReadAll(const std::string& strPath)
    {
        std::ifstream in(strPath, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    // The lines after the legend, each without its CR LF; fails the test on a line not ending in one.
    static std::vector<std::string> EventLines(const std::string& strFile)
    {
        std::vector<std::string> lines;
        EXPECT_EQ(0u, strFile.compare(0, kLegend.size(), kLegend));
        size_t nPos = kLegend.size();
        while (nPos < strFile.size())
        {
            size_t nEnd = strFile.find("\r\n", nPos);
            if (nEnd == std::string::npos)
            {
                ADD_FAILURE() << "unterminated line: " << strFile.substr(nPos);
                break;
            }
            lines.push_back(strFile.substr(nPos, nEnd - nPos));
            nPos = nEnd + 2;
        }
        return lines;
    }

    size_t FilesInFolder() const
    {
        size_t n = 0;
        for (auto& entry : fs::directory_iterator(folder))
        {
            (void)entry;
            n++;
        }
        return n;
    }

    CTestFolder testFolder; // its own, even beside the same test in another process
    fs::path folder = testFolder.Path();
    static int nReports;
    static std::string strLastReport;
};

int LogFileTest::nReports = 0;
std::string LogFileTest::strLastReport;

// Parses "07/Dec/2026:05:02:08" as local time.
bool ParseLogDate(const std::string& str, time_t* pTime)
{
    std::tm tm = {};
    std::istringstream in(str);
    in.imbue(std::locale::classic());
    in >> std::get_time(&tm, "%d/%b/%Y:%H:%M:%S");
    if (in.fail() || in.peek() != EOF)
        return false;
    tm.tm_isdst = -1;
    *pTime = mktime(&tm);
    return *pTime != (time_t)-1;
}
}  // namespace

TEST_F(LogFileTest, NewFileStartsWithTheLegendAndTakesTheGivenName)
{
    ASSERT_EQ(83u, kLegend.size());
    EXPECT_EQ(kLegend, std::string(CLogFile::szLegend));

    CCArray strPath(PathOf("ServerLog.txt").c_str());
    CLogFile log;
    EXPECT_FALSE(log.IsOpen());
    EXPECT_STREQ("", log.GetFileName().GetString());
    log.Open(strPath);
    ASSERT_TRUE(log.IsOpen());
    EXPECT_EQ(PathOf("ServerLog.txt"), log.GetFileName().GetString());
    EXPECT_EQ(PathOf("ServerLog.txt"), strPath.GetString());

    // The file can be read while it is being written.
    EXPECT_EQ(kLegend, ReadAll(PathOf("ServerLog.txt")));

    log.Close();
    EXPECT_FALSE(log.IsOpen());
    EXPECT_STREQ("", log.GetFileName().GetString());
    EXPECT_EQ(kLegend, ReadAll(PathOf("ServerLog.txt")));
    EXPECT_EQ(0, nReports);
}

TEST_F(LogFileTest, EventLineHasSevenQuotedFieldsAndTheLocalDate)
{
    CCArray strPath(PathOf("ServerLog.txt").c_str());
    CLogFile log;
    log.Open(strPath);
    ASSERT_TRUE(log.IsOpen());

    time_t tBefore = time(nullptr);
    log.LogEvent("5", "alice", "127.0.0.1:50000", "10.0.0.1:80", "TCP tunnel ready", "-");
    log.LogEvent("-", "", nullptr, "-", "Server started", "");
    log.LogEvent("4", "bob", "127.0.0.1:50001", "-", "Disconnect", "Connection refused (10061)");
    time_t tAfter = time(nullptr);
    log.Close();

    std::string strFile = ReadAll(PathOf("ServerLog.txt"));
    std::vector<std::string> lines = EventLines(strFile);
    ASSERT_EQ(3u, lines.size());

    std::vector<std::string> f;
    ASSERT_TRUE(SplitFields(lines[0], &f)) << lines[0];
    time_t tLine;
    ASSERT_TRUE(ParseLogDate(f[0], &tLine)) << f[0];
    EXPECT_GE(tLine, tBefore - 1);
    EXPECT_LE(tLine, tAfter + 1);
    EXPECT_EQ("\"" + f[0] + "\" \"5\" \"alice\" \"127.0.0.1:50000\" \"10.0.0.1:80\" \"TCP tunnel ready\" \"-\"",
              lines[0]);
    const std::string strDate = f[0];

    // Empty and missing fields are written "-".
    ASSERT_TRUE(SplitFields(lines[1], &f)) << lines[1];
    EXPECT_EQ("\"" + f[0] + "\" \"-\" \"-\" \"-\" \"-\" \"Server started\" \"-\"", lines[1]);

    ASSERT_TRUE(SplitFields(lines[2], &f)) << lines[2];
    EXPECT_EQ("Connection refused (10061)", f[6]);

    // The month is the English three-letter abbreviation, whatever the date.
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tmNow;
    ASSERT_TRUE(SysLocalTime((int64_t)tLine, &tmNow));
    EXPECT_EQ(kMonths[tmNow.tm_mon], strDate.substr(3, 3));
}

TEST_F(LogFileTest, ExistingNamesAreNeverTouchedAndEachRunGetsTheNextNumber)
{
    {
        std::ofstream keep(PathOf("ServerLog.txt"), std::ios::binary);
        keep << "earlier run";
    }
    CCArray strFirst(PathOf("ServerLog.txt").c_str());
    CLogFile log;
    log.Open(strFirst);
    ASSERT_TRUE(log.IsOpen());
    EXPECT_EQ(PathOf("ServerLog[1].txt"), strFirst.GetString());
    EXPECT_EQ(PathOf("ServerLog[1].txt"), log.GetFileName().GetString());

    // A second Open while a log is open changes nothing.
    CCArray strAgain(PathOf("ServerLog.txt").c_str());
    log.Open(strAgain);
    EXPECT_EQ(PathOf("ServerLog.txt"), strAgain.GetString());
    EXPECT_EQ(PathOf("ServerLog[1].txt"), log.GetFileName().GetString());
    log.LogEvent("-", "-", "-", "-", "Server started", "-");
    log.Close();

    CCArray strSecond(PathOf("ServerLog.txt").c_str());
    log.Open(strSecond);
    ASSERT_TRUE(log.IsOpen());
    EXPECT_EQ(PathOf("ServerLog[2].txt"), strSecond.GetString());
    log.Close();

    EXPECT_EQ("earlier run", ReadAll(PathOf("ServerLog.txt")));
    std::string strRun1 = ReadAll(PathOf("ServerLog[1].txt"));
    EXPECT_EQ(1u, EventLines(strRun1).size());
    EXPECT_EQ(kLegend, ReadAll(PathOf("ServerLog[2].txt")));
    EXPECT_EQ(3u, FilesInFolder());
}

// Many threads log at once: every line must arrive whole, once, and each thread's lines in order.
TEST_F(LogFileTest, ConcurrentWritersNeverInterleaveLines)
{
    CCArray strPath(PathOf("ServerLog.txt").c_str());
    CLogFile log;
    log.Open(strPath);
    ASSERT_TRUE(log.IsOpen());

    const int nThreads = 8;
    const int nLines = 300;
    const std::string strPadding(300, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; t++)
    {
        threads.emplace_back([&log, t, &strPadding] {
            for (int i = 0; i < nLines; i++)
            {
                std::string strUser = "t" + std::to_string(t) + "-" + std::to_string(i);
                std::string strError = strPadding + std::to_string(t);
                log.LogEvent("5", strUser.c_str(), "127.0.0.1:1", "127.0.0.1:2", "Disconnect", strError.c_str());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    log.Close();

    std::vector<std::string> lines = EventLines(ReadAll(PathOf("ServerLog.txt")));
    ASSERT_EQ((size_t)(nThreads * nLines), lines.size());
    std::map<int, int> nextOfThread;
    for (const std::string& strLine : lines)
    {
        std::vector<std::string> f;
        ASSERT_TRUE(SplitFields(strLine, &f)) << strLine;
        int t = -1, i = -1;
        char chEnd = 0;
        ASSERT_EQ(2, sscanf(f[2].c_str(), "t%d-%d%c", &t, &i, &chEnd)) << strLine;
        EXPECT_EQ(nextOfThread[t], i) << strLine;
        nextOfThread[t] = i + 1;
        EXPECT_EQ("Disconnect", f[5]);
        EXPECT_EQ(strPadding + std::to_string(t), f[6]);
    }
    for (int t = 0; t < nThreads; t++)
        EXPECT_EQ(nLines, nextOfThread[t]);
}

// A client picks its own user id: a CR LF in it must not start a line of the client's making.
TEST_F(LogFileTest, ControlCharactersInFieldsCannotForgeLines)
{
    CCArray strPath(PathOf("ServerLog.txt").c_str());
    CLogFile log;
    log.Open(strPath);
    ASSERT_TRUE(log.IsOpen());
    const char* pszForged =
        "x\" \"-\" \"-\" \"-\"\r\n\"01/Jan/2030:00:00:00\" \"5\" \"admin\" \"1.2.3.4:1\" \"-\" \"Server stopped\" \"-\"\n";
    log.LogEvent("4", pszForged, "127.0.0.1:1", "10.0.0.1:80", "TCP tunnel ready", "-");
    log.LogEvent("5", "tab\there\x7f\x1b[2J", "127.0.0.1:1", "-", "Disconnect", "line\rbreak");
    log.Close();

    std::vector<std::string> lines = EventLines(ReadAll(PathOf("ServerLog.txt")));
    ASSERT_EQ(2u, lines.size());
    for (const std::string& strLine : lines)
    {
        for (char ch : strLine)
        {
            unsigned char b = (unsigned char)ch;
            EXPECT_FALSE(b < 0x20 || b == 0x7F) << "control byte " << (int)b << " in " << strLine;
        }
    }
    // Each control character became one '?' and each double quote a single quote: the line keeps
    // its seven fields.
    EXPECT_NE(std::string::npos,
              lines[0].find("\"x' '-' '-' '-'?" "?'01/Jan/2030:00:00:00' '5' 'admin' '1.2.3.4:1' '-' "
                            "'Server stopped' '-'?\" \"127.0.0.1:1\" \"10.0.0.1:80\" \"TCP tunnel ready\" \"-\""))
        << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("\"tab?here??[2J\""));
    EXPECT_NE(std::string::npos, lines[1].find("\"line?break\""));
}

// A SOCKS4 user id holding '" "' must not make one field read as several.
TEST_F(LogFileTest, DoubleQuoteInAFieldIsWrittenAsASingleQuote)
{
    CCArray strPath(PathOf("ServerLog.txt").c_str());
    CLogFile log;
    log.Open(strPath);
    log.LogEvent("4", "say \"hi\" \"admin\"", "127.0.0.1:1", "-", "Disconnect", "a\"b");
    log.Close();
    std::vector<std::string> lines = EventLines(ReadAll(PathOf("ServerLog.txt")));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("\"4\" \"say 'hi' 'admin'\" \"127.0.0.1:1\""));
    EXPECT_NE(std::string::npos, lines[0].find("\"Disconnect\" \"a'b\""));
    EXPECT_EQ(14, (int)std::count(lines[0].begin(), lines[0].end(), '"')) << lines[0];
}

// A line cut at the formatting limit still ends the line, so the next event starts a line of its own.
TEST_F(LogFileTest, OverlongLineIsCutButKeepsItsLineEnd)
{
    CCArray strPath(PathOf("ServerLog.txt").c_str());
    CLogFile log;
    log.Open(strPath);
    std::string strLong(1500, 'u');
    log.LogEvent("5", strLong.c_str(), "127.0.0.1:1", "-", "Disconnect", "-");
    log.LogEvent("5", "next", "127.0.0.1:1", "-", "Disconnect", "-");
    log.Close();
    std::vector<std::string> lines = EventLines(ReadAll(PathOf("ServerLog.txt")));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(999u, lines[0].size());
    EXPECT_EQ(0u, lines[0].find("\""));
    std::vector<std::string> f;
    ASSERT_TRUE(SplitFields(lines[1], &f)) << lines[1];
    EXPECT_EQ("next", f[2]);
}

// An unwritable log folder: one warning through the reporter, and the server goes on without a log.
TEST_F(LogFileTest, FolderThatCannotTakeTheFileReportsOnceAndLeavesTheLogClosed)
{
    std::string strMissing = (folder / "no-such-folder" / "ServerLog.txt").string();
    CCArray strPath(strMissing.c_str());
    CLogFile log;
    log.Open(strPath);
    EXPECT_FALSE(log.IsOpen());
    EXPECT_STREQ("", log.GetFileName().GetString());
    ASSERT_EQ(1, nReports);

    const std::string strPrefix = "Failed to create log file for this session:\n\n";
    ASSERT_EQ(0u, strLastReport.compare(0, strPrefix.size(), strPrefix)) << strLastReport;
    // The system's own message, as it comes, for a missing folder (reported as a missing path
    // or a missing file, depending on the system).
    CCArray strPathText, strFileText;
    GetSystemErrorText(strPathText, ERROR_PATH_NOT_FOUND, true);
    GetSystemErrorText(strFileText, ERROR_FILE_NOT_FOUND, true);
    EXPECT_TRUE(strLastReport == strPrefix + strPathText.GetString() ||
                strLastReport == strPrefix + strFileText.GetString())
        << strLastReport;
    EXPECT_GT(strLastReport.size(), strPrefix.size());

    // Logging on a closed log is harmless and writes nothing anywhere.
    log.LogEvent("5", "u", "127.0.0.1:1", "-", "Disconnect", "-");
    log.WriteText("text", 4);
    log.Close();
    EXPECT_EQ(1, nReports);
    EXPECT_EQ(0u, FilesInFolder());

    // Without a reporter the failure is silent.
    CLogFile::SetFailureReporter(nullptr);
    CCArray strPath2(strMissing.c_str());
    log.Open(strPath2);
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(1, nReports);
}

TEST_F(LogFileTest, LogNeverOpenedCreatesNoFile)
{
    {
        CLogFile log;
        log.LogEvent("-", "-", "-", "-", "Server started", "-");
        log.WriteText(CCArray("line\r\n"));
        log.Close();
        EXPECT_FALSE(log.IsOpen());
    }
    EXPECT_EQ(0u, FilesInFolder());
    EXPECT_EQ(0, nReports);
}

TEST(LogField, EmptyBecomesDashControlCharactersQuestionMarksAndQuotesSingleQuotes)
{
    CCArray str;
    MakeLogField(nullptr, str);
    EXPECT_STREQ("-", str.GetString());
    MakeLogField("", str);
    EXPECT_STREQ("-", str.GetString());
    MakeLogField("\x01\x1f\x20\x7e\x7f\x80\xff", str);
    EXPECT_STREQ("??\x20\x7e?\x80\xff", str.GetString());
    MakeLogField("C:\\path \"q\" 'a'", str);
    EXPECT_STREQ("C:\\path 'q' 'a'", str.GetString());
}

// The mirror (the headless program's journal copy) gets every event line, without its CR LF, in
// the order of the file, from every thread: it is called under the log's lock, so the collecting
// vector below needs no lock of its own. Nothing reaches it from a closed log, nor the legend.
namespace
{
std::vector<std::string> g_mirrored;
void Mirror(const char* pszLine, int nLength)
{
    g_mirrored.emplace_back(pszLine, (size_t)nLength);
}
} // namespace

TEST_F(LogFileTest, TheMirrorGetsEveryEventLineInTheOrderOfTheFile)
{
    g_mirrored.clear();
    CLogFile::SetLineMirror(&Mirror);
    CCArray strPath(PathOf("ServerLog.txt").c_str());
    CLogFile log;
    log.LogEvent("-", "-", "-", "-", "before the open", "-");
    log.Open(strPath);
    ASSERT_TRUE(log.IsOpen());
    log.WriteText("# a text, not an event\r\n", 24);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
    {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 200; i++)
            {
                std::string strUser = "t" + std::to_string(t) + "-" + std::to_string(i) + "\r\nforged";
                log.LogEvent("5", strUser.c_str(), "127.0.0.1:1", "127.0.0.1:2", "Connect", "-");
            }
        });
    }
    for (auto& th : threads)
        th.join();
    log.Close();
    log.LogEvent("-", "-", "-", "-", "after the close", "-");
    CLogFile::SetLineMirror(nullptr);

    std::vector<std::string> lines = EventLines(ReadAll(PathOf("ServerLog.txt")));
    ASSERT_EQ(801u, lines.size());
    EXPECT_EQ("# a text, not an event", lines[0]);
    lines.erase(lines.begin());
    EXPECT_EQ(lines, g_mirrored);
    for (const std::string& str : g_mirrored)
        EXPECT_EQ(std::string::npos, str.find_first_of("\r\n")) << str;
    g_mirrored.clear();
}

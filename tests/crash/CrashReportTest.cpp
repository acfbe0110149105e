// CrashReportTest.cpp: crashes of CrashProbe.exe, a program with the product's version resource
// and crash handler, and the reports they leave.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <regex>
#include <sstream>

#include <windows.h>

#include "crash/CrashReportKey.h"
#include "Version.h"
#include "foundation/TextHelpers.h"
#include "tests/support/win32/ChildProcess.h"
#include "tests/support/win32/GuiDriver.h"

namespace
{
const int64_t PREVIOUS_FILTER_EXIT = 42;
const int64_t FAULT_EXIT = EXCEPTION_ACCESS_VIOLATION;
const int PRODUCT_NUMBER =
    ((TG_VERSION_MAJOR * 10 + TG_VERSION_MINOR) * 10 + TG_VERSION_PATCH) * 10 + TG_VERSION_BUILD;

std::vector<std::string> SplitLines(const std::string& text, const char* pszEnd = "\r\n")
{
    std::vector<std::string> lines;
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = text.find(pszEnd, nStart)) != std::string::npos; nStart = nEnd + strlen(pszEnd))
        lines.push_back(text.substr(nStart, nEnd - nStart));
    EXPECT_EQ(nStart, text.size()) << "a line without its end";
    return lines;
}

// An address in a report: eight hex digits in the 32-bit program; on 64-bit Windows at least eight,
// as many as the address needs.
const std::string ADDRESS_DIGITS = sizeof(void*) == 4 ? "([0-9A-F]{8})" : "([0-9A-F]{8,16})";

// The report name's fields after V<number>_Tollgate.EXE_: [1] own-frame address, [2] exception
// code, [3] reporter id, [4] tag, [5] the UTC stamp and [6..12] its parts. Empty when the name
// does not have that form.
std::vector<std::string> MatchReportName(const std::string& strPath)
{
    static const std::regex pattern(
        ".*\\\\V" + std::to_string(PRODUCT_NUMBER) +
        "_Tollgate\\.EXE_" + ADDRESS_DIGITS + "_([0-9A-F]{8})_([0-9A-F]{8})_(-?\\d+)_"
        "((\\d\\d)(\\d\\d)\\.(\\d\\d)\\.(\\d\\d)_(\\d\\d)\\.(\\d\\d)\\.(\\d\\d))\\.txt");
    std::smatch m;
    if (!std::regex_match(strPath, m, pattern))
        return {};
    return std::vector<std::string>(m.begin(), m.end());
}

// One probe run in a folder of its own: the probe, optionally an agent, and tmp\ as the probe's
// temporary folder.
class CrashProbeRun : public testing::Test
{
protected:
    void SetUp() override
    {
        strFolder =
            TestExecutableFolder() + "run-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        MakeEmptyFolder(strFolder);
        MakeEmptyFolder(strTemp = strFolder + "\\tmp");
        ASSERT_TRUE(CopyFileA((TestExecutableFolder() + "probe\\CrashProbe.exe").c_str(),
                              In("CrashProbe.exe").c_str(), FALSE));
        WriteCrashReportSwitch("Tollgate", 1);
    }

    // The stand-in agent that records its calls (agent-calls.txt, sent.txt), or the real one.
    void AddAgent(const std::string& strAgent = TestExecutableFolder() + "fake-agent\\dumpsend.dll")
    {
        ASSERT_TRUE(CopyFileA(strAgent.c_str(), In("dumpsend.dll").c_str(), FALSE));
    }

    int64_t Crash(const std::string& strArgs)
    {
        SetEnvironmentVariableA("TMP", strTemp.c_str());
        SetEnvironmentVariableA("TEMP", strTemp.c_str());
        return RunChildProcess("\"" + In("CrashProbe.exe") + "\" " + strArgs, strFolder, 30000);
    }

    // What the probe's confirmation callback kept: the report's path and a copy of it.
    std::string ConfirmedPath() const { return gui::ReadFileText(In("confirmed-path.txt")); }
    std::string In(const char* pszName) const { return strFolder + "\\" + pszName; }

    std::string strFolder, strTemp;
};
} // namespace

TEST_F(CrashProbeRun, FaultWritesTheReportWithEveryLineAndDontSendDeletesIt)
{
    AddAgent();
    // ownModuleOnly and a previous filter: the probe's own frames make the crash the handler's.
    EXPECT_EQ(FAULT_EXIT, Crash("own prev ask-keep tag=7"));
    std::vector<std::string> name = MatchReportName(ConfirmedPath());
    ASSERT_FALSE(name.empty()) << "confirmation not asked, or a wrong name: " << ConfirmedPath();
    EXPECT_EQ(strTemp + "\\", ConfirmedPath().substr(0, strTemp.size() + 1));
    EXPECT_EQ("C0000005", name[2]);
    EXPECT_EQ("7", name[4]);
    EXPECT_EQ(GetReporterId(), std::stoul(name[3], nullptr, 16));
    // Don't Send: the report is gone and the agent never saw it.
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
    EXPECT_FALSE(FileExists(In("agent-calls.txt")));

    std::vector<std::string> map = SplitLines(gui::ReadFileText(In("probe-map.txt")), "\n");
    ASSERT_EQ(2u, map.size());
    uintptr_t levels[3];
    ASSERT_EQ(3, sscanf(map[1].c_str(), "%" SCNxPTR " %" SCNxPTR " %" SCNxPTR, &levels[0], &levels[1], &levels[2]));

    std::vector<std::string> lines = SplitLines(gui::ReadFileText(In("confirmed.txt")));
    ASSERT_GE(lines.size(), 8u);
    // The time line is the name's UTC stamp: day, English month, two-digit year, time.
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    EXPECT_EQ(name[9] + "-" + months[std::stoi(name[8]) - 1] + "-" + name[7] + " " + name[10] + ":" +
                  name[11] + ":" + name[12],
              lines[0]);
    EXPECT_TRUE(
        std::regex_match(lines[2], std::regex("OS Info: MajorVersion\\[\\d+\\] MinorVersion\\[\\d+\\] "
                                              "Build\\[\\d+\\] Platform\\[2\\] CSDVersion\\[.*\\]")));
    size_t nStack = 3;
    std::regex moduleLine(
        ".:\\\\.* Product Version = [\\d.]+  File Version = [\\d.]+ Base=" + ADDRESS_DIGITS + " Size=[0-9A-F]{8}");
    for (; nStack < lines.size() && lines[nStack] != "Call stack:"; nStack++)
        EXPECT_TRUE(std::regex_match(lines[nStack], moduleLine)) << lines[nStack];
    EXPECT_NE(std::string::npos,
              gui::ReadFileText(In("confirmed.txt")).find("\\kernel32.dll Product Version"));
    ASSERT_LT(nStack + 4, lines.size());
    EXPECT_EQ("Address   Frame     Logical addr  Module", lines[nStack + 1]);

    // Innermost first: the faulting ProbeLevel3, then the return addresses in ProbeLevel2 and 1,
    // all in the probe's first section, on rising frames.
    uintptr_t nAddress[3], nFrame[3];
    uint32_t nSection[3], nOffset[3];
    for (int i = 0; i < 3; i++)
    {
        const std::string& line = lines[nStack + 2 + i];
        char szModule[300] = "";
        ASSERT_EQ(5, sscanf(line.c_str(), "%" SCNxPTR "  %" SCNxPTR "  %4x:%8x %299[^\n]", &nAddress[i],
                            &nFrame[i], &nSection[i], &nOffset[i], szModule))
            << line;
        EXPECT_EQ(map[0], szModule);
        EXPECT_GE(nAddress[i], levels[2 - i]) << line;
        EXPECT_LT(nAddress[i], levels[2 - i] + 0x40) << line;
        EXPECT_EQ(1u, nSection[i]);
        EXPECT_EQ(nAddress[0] - nOffset[0], nAddress[i] - nOffset[i]);
        EXPECT_GT(nFrame[i], i > 0 ? nFrame[i - 1] : (uintptr_t)0);
    }
    char szExpected[100];
    snprintf(szExpected, sizeof(szExpected), "%08" PRIXPTR, nAddress[0]);
    EXPECT_EQ(szExpected, name[1]);
    snprintf(szExpected, sizeof(szExpected), "Tollgate.EXE %04d internal error (%" PRIXPTR "/C0000005)", PRODUCT_NUMBER,
             nAddress[0]);
    EXPECT_EQ(szExpected, lines[1]);
}

TEST_F(CrashProbeRun, SendHandsTheReportToTheAgentAndDeletesIt)
{
    AddAgent();
    EXPECT_EQ(FAULT_EXIT, Crash("ask-send"));
    EXPECT_EQ(ConfirmedPath() + "|Tollgate\n", gui::ReadFileText(In("agent-calls.txt")));
    EXPECT_FALSE(gui::ReadFileText(In("confirmed.txt")).empty());
    EXPECT_EQ(gui::ReadFileText(In("confirmed.txt")), gui::ReadFileText(In("sent.txt")));
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
}

TEST_F(CrashProbeRun, ReporterIdIsMadeOnceAndReusedWithoutConfirmationTheReportIsSent)
{
    AddAgent();
    HKEY hKey = OpenCrashReportKey();
    RegDeleteValueA(hKey, "UUID");
    RegCloseKey(hKey);
    Crash("");
    Crash("");
    std::vector<std::string> calls = SplitLines(gui::ReadFileText(In("agent-calls.txt")), "\n");
    ASSERT_EQ(2u, calls.size());
    std::vector<std::string> first = MatchReportName(calls[0].substr(0, calls[0].find('|')));
    std::vector<std::string> second = MatchReportName(calls[1].substr(0, calls[1].find('|')));
    ASSERT_FALSE(first.empty() || second.empty()) << calls[0];
    EXPECT_EQ(first[3], second[3]);
    EXPECT_EQ(GetReporterId(), std::stoul(first[3], nullptr, 16));
}

TEST_F(CrashProbeRun, NoReportWithTheSwitchOffWithoutAgentOrForAForeignFaultWhenOwnOnly)
{
    // Switch off: the previous filter decides.
    AddAgent();
    WriteCrashReportSwitch("Tollgate", 0);
    EXPECT_EQ(PREVIOUS_FILTER_EXIT, Crash("prev ask-send"));
    WriteCrashReportSwitch("Tollgate", 1);
    // A fault with no frame of the probe, with ownModuleOnly: the previous filter decides; without
    // ownModuleOnly the same fault is reported.
    EXPECT_EQ(PREVIOUS_FILTER_EXIT, Crash("own prev foreign ask-keep"));
    EXPECT_FALSE(FileExists(In("confirmed-path.txt")));
    EXPECT_EQ(FAULT_EXIT, Crash("prev foreign ask-keep"));
    EXPECT_TRUE(FileExists(In("confirmed-path.txt")));
    DeleteFileA(In("confirmed-path.txt").c_str());
    // Agent absent: no report, and the previous filter is not asked either.
    DeleteFileA(In("dumpsend.dll").c_str());
    EXPECT_EQ(FAULT_EXIT, Crash("prev ask-send"));
    EXPECT_FALSE(FileExists(In("confirmed-path.txt")));
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
    EXPECT_FALSE(FileExists(In("agent-calls.txt")));
}

// Run by tests/agent/endpoint-upload.sh with the endpoint's port and store folder; skipped any
// other way.
class EndpointUpload : public CrashProbeRun
{
};

TEST_F(EndpointUpload, ACrashReportSentThroughDumpsendIsStoredByteForByte)
{
    const char* pszPort = getenv("TG_TEST_ENDPOINT_PORT");
    const char* pszStore = getenv("TG_TEST_ENDPOINT_STORE");
    if (!pszPort || !pszStore)
        GTEST_SKIP() << "run by endpoint-upload.sh";
    AddAgent(gui::WindowsPath(TG_LOOPBACK_DUMPSEND));
    SetEnvironmentVariableA("TG_TEST_UPLOAD_PORT", pszPort);
    EXPECT_EQ(FAULT_EXIT, Crash("ask-send"));

    std::string strStore = gui::WindowsPath(std::string(pszStore) + "/Tollgate");
    std::vector<std::string> stored = ListFiles(strStore, "*.report");
    ASSERT_EQ(1u, stored.size());
    EXPECT_EQ(gui::ReadFileText(In("confirmed.txt")), gui::ReadFileText(strStore + "\\" + stored[0]));
    // The announced file name is the report's path.
    std::string strJson =
        gui::ReadFileText(strStore + "\\" + stored[0].substr(0, stored[0].size() - 7) + ".json");
    EXPECT_NE(std::string::npos, strJson.find(GetFileNamePart(ConfirmedPath().c_str()))) << strJson;
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
}

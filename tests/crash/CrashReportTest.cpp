// CrashReportTest.cpp: crashes of CrashProbe.exe, a program with the product's version resource
// and crash handler, and the reports they leave.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include <windows.h>

#include "crash/CrashReportKey.h"
#include "Version.h"
#include "foundation/TextHelpers.h"
#include "tests/support/win32/ChildProcess.h"

namespace
{
const int64_t PREVIOUS_FILTER_EXIT = 42;

int ProductNumber()
{
    return ((TG_VERSION_MAJOR * 10 + TG_VERSION_MINOR) * 10 + TG_VERSION_PATCH) * 10 + TG_VERSION_BUILD;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = text.find("\r\n", nStart)) != std::string::npos; nStart = nEnd + 2)
        lines.push_back(text.substr(nStart, nEnd - nStart));
    if (nStart < text.size())
        lines.push_back(text.substr(nStart) + " <no CR LF>");
    return lines;
}

// One probe run in a folder of its own: the probe, optionally the stand-in agent, and tmp\ as
// the probe's temporary folder.
class CrashProbeRun : public testing::Test
{
protected:
    void SetUp() override
    {
        strFolder = TestExecutableFolder() + "run-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        MakeEmptyFolder(strFolder);
        strTemp = strFolder + "\\tmp";
        MakeEmptyFolder(strTemp);
        ASSERT_TRUE(CopyFileA((TestExecutableFolder() + "probe\\CrashProbe.exe").c_str(),
                              (strFolder + "\\CrashProbe.exe").c_str(), FALSE));
        WriteCrashReportSwitch("Tollgate", 1);
    }

    // The stand-in agent that records its calls, or the real one.
    void AddAgent(const std::string& strAgent = TestExecutableFolder() + "fake-agent\\dumpsend.dll")
    {
        ASSERT_TRUE(CopyFileA(strAgent.c_str(), (strFolder + "\\dumpsend.dll").c_str(), FALSE));
    }

    int64_t Crash(const std::string& strArgs)
    {
        SetEnvironmentVariableA("TMP", strTemp.c_str());
        SetEnvironmentVariableA("TEMP", strTemp.c_str());
        return RunChildProcess("\"" + strFolder + "\\CrashProbe.exe\" " + strArgs, strFolder, 30000);
    }

    std::string InFolder(const char* pszName) const { return strFolder + "\\" + pszName; }

    std::string strFolder;
    std::string strTemp;
};

// The report name's fields: own-frame address, code, reporter id, tag, UTC stamp.
struct SReportName
{
    bool bMatched = false;
    uint32_t nOwnAddress = 0, nCode = 0, nReporterId = 0;
    int nTag = 0;
    std::string strStamp;
};

SReportName ParseReportName(const std::string& strPath)
{
    SReportName name;
    std::smatch m;
    std::string strFile = strPath.substr(strPath.rfind('\\') + 1);
    std::regex pattern("V(\\d+)_Tollgate\\.EXE_([0-9A-F]{8})_([0-9A-F]{8})_([0-9A-F]{8})_(-?\\d+)_"
                       "(\\d{4}\\.\\d\\d\\.\\d\\d_\\d\\d\\.\\d\\d\\.\\d\\d)\\.txt");
    if (!std::regex_match(strFile, m, pattern) || std::stoi(m[1]) != ProductNumber())
        return name;
    name.bMatched = true;
    name.nOwnAddress = std::stoul(m[2], nullptr, 16);
    name.nCode = std::stoul(m[3], nullptr, 16);
    name.nReporterId = std::stoul(m[4], nullptr, 16);
    name.nTag = std::stoi(m[5]);
    name.strStamp = m[6];
    return name;
}

struct SStackLine
{
    uint32_t nAddress, nFrame, nSection, nOffset;
    std::string strModule;
};

bool ParseStackLine(const std::string& line, SStackLine& out)
{
    std::smatch m;
    static const std::regex pattern("([0-9A-F]{8})  ([0-9A-F]{8})  ([0-9A-F]{4}):([0-9A-F]{8}) (.*)");
    if (!std::regex_match(line, m, pattern))
        return false;
    out = {(uint32_t)std::stoul(m[1], nullptr, 16), (uint32_t)std::stoul(m[2], nullptr, 16),
           (uint32_t)std::stoul(m[3], nullptr, 16), (uint32_t)std::stoul(m[4], nullptr, 16), m[5]};
    return true;
}
} // namespace

TEST_F(CrashProbeRun, FaultWritesTheReportWithEveryLineAndAsksBeforeSending)
{
    AddAgent();
    // ownModuleOnly and a previous filter: the probe's own frames make the crash the handler's.
    int64_t nExit = Crash("own prev ask-keep tag=7");
    EXPECT_EQ((int64_t)EXCEPTION_ACCESS_VIOLATION, nExit);

    std::string strReportPath = ReadWholeFile(InFolder("confirmed-path.txt"));
    ASSERT_FALSE(strReportPath.empty()) << "the confirmation callback was not called";
    EXPECT_EQ(strTemp + "\\", strReportPath.substr(0, strTemp.size() + 1));
    SReportName name = ParseReportName(strReportPath);
    ASSERT_TRUE(name.bMatched) << strReportPath;
    EXPECT_EQ((uint32_t)EXCEPTION_ACCESS_VIOLATION, name.nCode);
    EXPECT_EQ(7, name.nTag);
    HKEY hKey = OpenCrashReportKey();
    DWORD nStoredId = 0, nSize = 4;
    RegQueryValueExA(hKey, "UUID", nullptr, nullptr, (BYTE*)&nStoredId, &nSize);
    RegCloseKey(hKey);
    EXPECT_EQ(nStoredId, name.nReporterId);

    // Don't Send: the report is gone and the agent never saw it.
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
    EXPECT_FALSE(FileExists(InFolder("agent-calls.txt")));

    std::istringstream map(ReadWholeFile(InFolder("probe-map.txt")));
    std::string strProbePath;
    std::getline(map, strProbePath);
    uint32_t levels[3];
    map >> std::hex >> levels[0] >> levels[1] >> levels[2];

    std::vector<std::string> lines = SplitLines(ReadWholeFile(InFolder("confirmed.txt")));
    ASSERT_GE(lines.size(), 8u);
    // The time line is the name's UTC stamp in another layout.
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::string& s = name.strStamp;
    std::string strTimeLine = s.substr(8, 2) + "-" + months[std::stoi(s.substr(5, 2)) - 1] + "-" + s.substr(2, 2) +
                              " " + s.substr(11, 2) + ":" + s.substr(14, 2) + ":" + s.substr(17, 2);
    EXPECT_EQ(strTimeLine, lines[0]);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("OS Info: MajorVersion\\[\\d+\\] MinorVersion\\[\\d+\\] "
                                                      "Build\\[\\d+\\] Platform\\[2\\] CSDVersion\\[.*\\]")))
        << lines[2];

    size_t nCallStack = 3;
    bool bKernelListed = false;
    std::regex moduleLine(".*\\.(dll|DLL|exe|EXE) Product Version = \\d+\\.\\d+\\.\\d+\\.\\d+  File Version = "
                          "\\d+\\.\\d+\\.\\d+\\.\\d+ Base=[0-9A-F]{8} Size=[0-9A-F]{8}");
    for (; nCallStack < lines.size() && lines[nCallStack] != "Call stack:"; nCallStack++)
    {
        EXPECT_TRUE(std::regex_match(lines[nCallStack], moduleLine) || lines[nCallStack].find(':') == 1)
            << lines[nCallStack];
        bKernelListed |= lines[nCallStack].find("kernel32.dll Product Version") != std::string::npos;
    }
    EXPECT_TRUE(bKernelListed);
    ASSERT_LT(nCallStack + 4, lines.size());
    EXPECT_EQ("Address   Frame     Logical addr  Module", lines[nCallStack + 1]);

    // Innermost first: the faulting ProbeLevel3, then the return addresses in ProbeLevel2 and 1,
    // all in the probe's first section, with one section start between them.
    SStackLine frames[3];
    for (int i = 0; i < 3; i++)
    {
        ASSERT_TRUE(ParseStackLine(lines[nCallStack + 2 + i], frames[i])) << lines[nCallStack + 2 + i];
        uint32_t nFunction = levels[2 - i];
        EXPECT_GE(frames[i].nAddress, nFunction) << "frame " << i;
        EXPECT_LT(frames[i].nAddress, nFunction + 0x40) << "frame " << i;
        EXPECT_EQ(strProbePath, frames[i].strModule);
        EXPECT_EQ(1u, frames[i].nSection);
        EXPECT_EQ(frames[0].nAddress - frames[0].nOffset, frames[i].nAddress - frames[i].nOffset);
        if (i > 0)
        {
            EXPECT_GT(frames[i].nFrame, frames[i - 1].nFrame);
        }
    }
    EXPECT_EQ(name.nOwnAddress, frames[0].nAddress);
    char szError[200];
    snprintf(szError, sizeof(szError), "Tollgate.EXE %04d internal error (%X/C0000005)", ProductNumber(),
             frames[0].nAddress);
    EXPECT_EQ(szError, lines[1]);
    for (size_t i = nCallStack + 2; i < lines.size(); i++)
    {
        SStackLine frame;
        EXPECT_TRUE(ParseStackLine(lines[i], frame)) << lines[i];
    }
}

TEST_F(CrashProbeRun, SendHandsTheReportToTheAgentAndDeletesIt)
{
    AddAgent();
    EXPECT_EQ((int64_t)EXCEPTION_ACCESS_VIOLATION, Crash("ask-send"));
    std::string strReportPath = ReadWholeFile(InFolder("confirmed-path.txt"));
    EXPECT_EQ(strReportPath + "|Tollgate\n", ReadWholeFile(InFolder("agent-calls.txt")));
    std::string strReport = ReadWholeFile(InFolder("confirmed.txt"));
    EXPECT_FALSE(strReport.empty());
    EXPECT_EQ(strReport, ReadWholeFile(InFolder("sent.txt")));
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
    EXPECT_EQ(0, ParseReportName(strReportPath).nTag);
}

TEST_F(CrashProbeRun, WithoutConfirmationTheReportIsSent)
{
    AddAgent();
    EXPECT_EQ((int64_t)EXCEPTION_ACCESS_VIOLATION, Crash(""));
    EXPECT_NE(std::string::npos, ReadWholeFile(InFolder("agent-calls.txt")).find("|Tollgate\n"));
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
}

TEST_F(CrashProbeRun, ReporterIdIsMadeOnceAndReused)
{
    AddAgent();
    HKEY hKey = OpenCrashReportKey();
    RegDeleteValueA(hKey, "UUID");
    RegCloseKey(hKey);
    Crash("ask-keep");
    SReportName first = ParseReportName(ReadWholeFile(InFolder("confirmed-path.txt")));
    Crash("ask-keep");
    SReportName second = ParseReportName(ReadWholeFile(InFolder("confirmed-path.txt")));
    ASSERT_TRUE(first.bMatched && second.bMatched);
    EXPECT_EQ(first.nReporterId, second.nReporterId);
    EXPECT_EQ(first.nReporterId, GetReporterId());
}

TEST_F(CrashProbeRun, SwitchOffLeavesTheCrashToThePreviousFilter)
{
    AddAgent();
    WriteCrashReportSwitch("Tollgate", 0);
    EXPECT_EQ(PREVIOUS_FILTER_EXIT, Crash("prev ask-send"));
    EXPECT_FALSE(FileExists(InFolder("confirmed-path.txt")));
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
    EXPECT_FALSE(FileExists(InFolder("agent-calls.txt")));
}

TEST_F(CrashProbeRun, WithoutTheAgentNoReportIsWrittenAndThePreviousFilterIsNotAsked)
{
    EXPECT_EQ((int64_t)EXCEPTION_ACCESS_VIOLATION, Crash("prev ask-send"));
    EXPECT_FALSE(FileExists(InFolder("confirmed-path.txt")));
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
}

TEST_F(CrashProbeRun, OwnModuleOnlyHandsAForeignFaultToThePreviousFilter)
{
    AddAgent();
    EXPECT_EQ(PREVIOUS_FILTER_EXIT, Crash("own prev foreign ask-send"));
    EXPECT_FALSE(FileExists(InFolder("confirmed-path.txt")));
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());

    // Without ownModuleOnly the same fault is reported.
    EXPECT_EQ((int64_t)EXCEPTION_ACCESS_VIOLATION, Crash("prev foreign ask-keep"));
    EXPECT_TRUE(FileExists(InFolder("confirmed-path.txt")));
}

// Run by endpoint-crash.sh with the endpoint's port and store folder; skipped any other way.
class CrashEndpoint : public CrashProbeRun
{
};

TEST_F(CrashEndpoint, SendUploadsTheReportToTheEndpointByteForByte)
{
    const char* pszPort = getenv("TG_TEST_ENDPOINT_PORT");
    const char* pszStore = getenv("TG_TEST_ENDPOINT_STORE");
    if (!pszPort || !pszStore)
        GTEST_SKIP() << "run by endpoint-crash.sh";
    AddAgent(WindowsPath(TG_LOOPBACK_DUMPSEND));
    SetEnvironmentVariableA("TG_TEST_UPLOAD_PORT", pszPort);
    EXPECT_EQ((int64_t)EXCEPTION_ACCESS_VIOLATION, Crash("ask-send"));

    std::string strReport = ReadWholeFile(InFolder("confirmed.txt"));
    ASSERT_FALSE(strReport.empty());
    std::string strStored = WindowsPath(std::string("Z:") + pszStore + "/Tollgate");
    std::vector<std::string> stored = ListFiles(strStored, "*.report");
    ASSERT_EQ(1u, stored.size());
    EXPECT_EQ(strReport, ReadWholeFile(strStored + "\\" + stored[0]));
    // The announced file name is the report's full path.
    std::string strJson = ReadWholeFile(strStored + "\\" + stored[0].substr(0, stored[0].size() - 7) + ".json");
    std::string strName = GetFileNamePart(ReadWholeFile(InFolder("confirmed-path.txt")).c_str());
    EXPECT_NE(std::string::npos, strJson.find(strName)) << strJson;
    EXPECT_TRUE(ListFiles(strTemp, "*").empty());
}

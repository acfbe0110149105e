// DumpSendTest.cpp: dumpsend.dll as the crash path uses it: loaded by name, its export found by
// its plain name, and an upload through it. The loopback build of the library is used: it sends
// to 127.0.0.1 on the port in TG_TEST_UPLOAD_PORT, with short bounds.
#include <windows.h>

#include <gtest/gtest.h>

#include "../AgentTestSupport.h"
#include "Version.h"
#include "tests/support/LoopbackHttpServer.h"

namespace
{

typedef int (*SubmitCrashReportProc)(const char*, const char*);

class DumpSend : public ::testing::Test
{
protected:
    void SetUp() override
    {
        hModule = LoadLibraryA(TG_LOOPBACK_DUMPSEND);
        ASSERT_NE(hModule, nullptr) << GetLastError();
        pSubmit = (SubmitCrashReportProc)(void*)GetProcAddress(hModule, "SubmitCrashReport");
        ASSERT_NE(pSubmit, nullptr);
        strReport = folder.GetPath() + "\\V1_Tollgate_00401000.txt";
        strReportBytes = std::string("Tollgate crash report\r\n") + std::string(5000, '\xA5');
        WriteFileBytes(strReport, strReportBytes);
    }
    void TearDown() override
    {
        if (hModule)
            FreeLibrary(hModule);
    }
    int Submit(const CLoopbackHttpServer& server)
    {
        SetEnvironmentVariableA("TG_TEST_UPLOAD_PORT", std::to_string(server.GetPort()).c_str());
        return pSubmit(strReport.c_str(), "Tollgate");
    }

    HMODULE hModule = nullptr;
    SubmitCrashReportProc pSubmit = nullptr;
    CTempFolder folder;
    std::string strReport;
    std::string strReportBytes;
};

} // namespace

TEST_F(DumpSend, UploadsTheReportAndAnswersOneFor200)
{
    CLoopbackHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nstored");
    ASSERT_EQ(Submit(server), 1);
    std::vector<CLoopbackHttpServer::SExchange> exchanges = server.WaitExchanges(1);
    ASSERT_EQ(exchanges.size(), 1u);
    std::vector<std::string> lines = HeadLines(exchanges[0].strHead);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "POST /cgi-bin/crash_upload.cgi HTTP/1.1");
    EXPECT_EQ(lines[4], "User-Agent: Orvane Crash Report Agent");
    EXPECT_EQ(lines[6], "Content-Length: " + std::to_string(exchanges[0].strBody.size()));
    EXPECT_NE(exchanges[0].strBody.find("; filename=\"" + strReport + "\"\r\n"), std::string::npos);
    EXPECT_NE(exchanges[0].strBody.find("\r\n\r\n" + strReportBytes + "\r\n--"), std::string::npos);
    EXPECT_FALSE(FileExists(strReport + ".resp"));
    EXPECT_EQ(ReadFileBytes(strReport), strReportBytes);
}

TEST_F(DumpSend, RedirectsAndSilentEndpointsGiveZero)
{
    {
        CLoopbackHttpServer server("HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(Submit(server), 0);
    }
    CLoopbackHttpServer silent;
    silent.SetSilent(true);
    DWORD tStart = GetTickCount();
    EXPECT_EQ(Submit(silent), 0);
    EXPECT_LT(GetTickCount() - tStart, 30000u);
    EXPECT_FALSE(FileExists(strReport + ".resp"));
}

TEST_F(DumpSend, CarriesItsOwnVersionResource)
{
    char szPath[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(hModule, szPath, sizeof(szPath)), 0u);
    DWORD dwHandle = 0;
    DWORD nSize = GetFileVersionInfoSizeA(szPath, &dwHandle);
    ASSERT_GT(nSize, 0u);
    std::vector<char> data(nSize);
    ASSERT_TRUE(GetFileVersionInfoA(szPath, 0, nSize, data.data()));
    char* pszValue = nullptr;
    UINT nLength = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\04090000\\OriginalFilename", (void**)&pszValue,
                               &nLength));
    EXPECT_STREQ(pszValue, "dumpsend.dll");
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\04090000\\FileVersion", (void**)&pszValue,
                               &nLength));
    EXPECT_STREQ(pszValue, TG_VERSION_STRING);
}

// DumpSendTest.cpp: dumpsend.dll as the crash path uses it: loaded by name, its export found by
// its plain name. The loopback build of the library is used: it sends to 127.0.0.1 on the port in
// TG_TEST_UPLOAD_PORT, with a 2 s wait and a 4 s exchange.
#include <windows.h>

#include <gtest/gtest.h>

#include "../AgentTestSupport.h"
#include "Version.h"
#include "tests/support/LoopbackHttpServer.h"

TEST(DumpSend, UploadsThroughItsExportAndCarriesItsVersion)
{
    HMODULE hModule = LoadLibraryA(TG_LOOPBACK_DUMPSEND);
    ASSERT_NE(hModule, nullptr) << GetLastError();
    typedef int (*SubmitCrashReportProc)(const char*, const char*);
    SubmitCrashReportProc pSubmit =
        (SubmitCrashReportProc)(void*)GetProcAddress(hModule, "SubmitCrashReport");
    ASSERT_NE(pSubmit, nullptr);
    CTempFolder folder;
    std::string strReport = folder.GetPath() + "\\V1_Tollgate_00401000.txt";
    WriteFileBytes(strReport, "Tollgate crash report\r\n");

    std::pair<CLoopbackHttpServer*, int> cases[] = {
        {new CLoopbackHttpServer("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nstored"), 1},
        {new CLoopbackHttpServer("HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n"), 0},
        {new CLoopbackHttpServer("", "", true), 0},
    };
    for (auto& c : cases)
    {
        SetEnvironmentVariableA("TG_TEST_UPLOAD_PORT", std::to_string(c.first->GetPort()).c_str());
        DWORD tStart = GetTickCount();
        EXPECT_EQ(pSubmit(strReport.c_str(), "Tollgate"), c.second);
        EXPECT_LT(GetTickCount() - tStart, 20000u);
        std::vector<CLoopbackHttpServer::SExchange> exchanges = c.first->WaitExchanges(1);
        ASSERT_EQ(exchanges.size(), 1u);
        EXPECT_EQ(HeadLines(exchanges[0].strHead)[6],
                  "Content-Length: " + std::to_string(exchanges[0].strBody.size()));
        EXPECT_FALSE(SysFileExists((strReport + ".resp").c_str()));
        delete c.first;
    }

    char szPath[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(hModule, szPath, sizeof(szPath)), 0u);
    std::vector<char> data(GetFileVersionInfoSizeA(szPath, nullptr) + 1);
    ASSERT_TRUE(GetFileVersionInfoA(szPath, 0, (DWORD)data.size(), data.data()));
    char* pszValue = nullptr;
    UINT nLength = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\04090000\\OriginalFilename", (void**)&pszValue,
                               &nLength));
    EXPECT_STREQ(pszValue, "dumpsend.dll");
    ASSERT_TRUE(
        VerQueryValueA(data.data(), "\\StringFileInfo\\04090000\\FileVersion", (void**)&pszValue, &nLength));
    EXPECT_STREQ(pszValue, TG_VERSION_STRING);
    FreeLibrary(hModule);
}

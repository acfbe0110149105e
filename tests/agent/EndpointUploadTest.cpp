// EndpointUploadTest.cpp: an upload to the project's receiving endpoint script, which must store
// the report byte for byte under its product name. endpoint-upload.sh starts the script and runs
// this test with its port and store folder; run any other way it is skipped. Natively the upload
// goes through SubmitReportTo, under Wine through SubmitCrashReport of the loopback dumpsend.dll.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"
#include "agent/CrashUpload.h"
#ifdef _WIN32
#include <windows.h>
#endif

TEST(EndpointUpload, TheEndpointStoresTheReportByteForByte)
{
    const char* pszPort = getenv("TG_TEST_ENDPOINT_PORT");
    const char* pszStore = getenv("TG_TEST_ENDPOINT_STORE");
    if (!pszPort || !pszStore)
        GTEST_SKIP() << "run by endpoint-upload.sh";
    CTempFolder folder;
    std::string strReport = folder.GetPath() + PATH_SEPARATOR + "V1_Tollgate_crash.txt", strBytes;
    for (int i = 0; i < 20000; i++)
        strBytes += (char)(i * 31 + i / 256);
    WriteFileBytes(strReport, strBytes);
#ifdef _WIN32
    SetEnvironmentVariableA("TG_TEST_UPLOAD_PORT", pszPort);
    HMODULE hModule = LoadLibraryA(TG_LOOPBACK_DUMPSEND);
    ASSERT_NE(hModule, nullptr);
    typedef int (*SubmitCrashReportProc)(const char*, const char*);
    EXPECT_EQ(((SubmitCrashReportProc)(void*)GetProcAddress(hModule, "SubmitCrashReport"))(strReport.c_str(),
                                                                                           "Tollgate"),
              1);
    FreeLibrary(hModule);
    std::string strStore = std::string("Z:") + pszStore; // the Unix path as Wine reaches it
#else
    char szUrl[128];
    MakeUploadUrl("127.0.0.1", atoi(pszPort), szUrl, sizeof(szUrl));
    EXPECT_EQ(SubmitReportTo(szUrl, strReport.c_str(), "Tollgate", {10, 30000}), 1);
    std::string strStore = pszStore;
#endif
    std::string strFolder = strStore + "/Tollgate/";
    std::vector<std::string> reports;
    SysListFolder(
        strFolder.c_str(),
        [](const char* psz, void* p)
        {
            if (strstr(psz, ".report"))
                static_cast<std::vector<std::string>*>(p)->push_back(psz);
        },
        &reports);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(ReadFileBytes(strFolder + reports[0]), strBytes);
}

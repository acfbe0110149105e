// EndpointUploadTest.cpp: an upload to the project's receiving endpoint script, which must store
// the report byte for byte under its product name. endpoint-upload.sh starts the script and runs
// this test with its port and store folder; run any other way the test is skipped. Natively the
// upload goes through SubmitReportTo, under Wine through the loopback dumpsend.dll.
#include <gtest/gtest.h>

#include <cstdlib>

#include "AgentTestSupport.h"
#include "agent/CrashUpload.h"
#ifdef _WIN32
#include <windows.h>
#endif

namespace
{

void CollectReport(const char* pszName, void* pContext)
{
    std::string strName = pszName;
    if (strName.size() > 7 && strName.compare(strName.size() - 7, 7, ".report") == 0)
        static_cast<std::vector<std::string>*>(pContext)->push_back(strName);
}

// The store folder as this process names it: under Wine a Unix path is reached through Z:.
std::string LocalPath(const char* pszUnixPath)
{
#ifdef _WIN32
    std::string str = std::string("Z:") + pszUnixPath;
    for (char& ch : str)
        if (ch == '/')
            ch = '\\';
    return str;
#else
    return pszUnixPath;
#endif
}

int Upload(int nPort, const std::string& strReport)
{
#ifdef _WIN32
    SetEnvironmentVariableA("TG_TEST_UPLOAD_PORT", std::to_string(nPort).c_str());
    HMODULE hModule = LoadLibraryA(TG_LOOPBACK_DUMPSEND);
    if (!hModule)
        return -1;
    typedef int (*SubmitCrashReportProc)(const char*, const char*);
    SubmitCrashReportProc pSubmit = (SubmitCrashReportProc)(void*)GetProcAddress(hModule, "SubmitCrashReport");
    int nResult = pSubmit ? pSubmit(strReport.c_str(), "Tollgate") : -1;
    FreeLibrary(hModule);
    return nResult;
#else
    char szUrl[128];
    MakeUploadUrl("127.0.0.1", nPort, szUrl, sizeof(szUrl));
    SUploadLimits limits = {10, 30000};
    return SubmitReportTo(szUrl, strReport.c_str(), "Tollgate", limits);
#endif
}

} // namespace

TEST(EndpointUpload, TheEndpointStoresTheReportByteForByte)
{
    const char* pszPort = getenv("TG_TEST_ENDPOINT_PORT");
    const char* pszStore = getenv("TG_TEST_ENDPOINT_STORE");
    if (!pszPort || !pszStore)
        GTEST_SKIP() << "run by endpoint-upload.sh";

    CTempFolder folder;
    std::string strReport = folder.GetPath() + PATH_SEPARATOR + "V1_Tollgate_crash.txt";
    std::string strBytes;
    for (int i = 0; i < 20000; i++)
        strBytes += (char)(i * 31 + i / 256);
    WriteFileBytes(strReport, strBytes);

    ASSERT_EQ(Upload(atoi(pszPort), strReport), 1);
    std::string strFolder = LocalPath(pszStore) + PATH_SEPARATOR + "Tollgate";
    std::vector<std::string> reports;
    ASSERT_TRUE(SysListFolder(strFolder.c_str(), CollectReport, &reports));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(ReadFileBytes(strFolder + PATH_SEPARATOR + reports[0]), strBytes);
}

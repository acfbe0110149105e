// DumpSend.cpp: the entry points of dumpsend.dll, the crash report upload agent.
//
// The crash path of the program loads the library by name and calls SubmitCrashReport once. The
// library starts nothing on load: it keeps its module handle and relies on its host to have
// started Windows Sockets.
#include <windows.h>

#include <cstdlib>
#include <new>

#include "agent/CrashUpload.h"
#include "foundation/CharArray.h"
#include "foundation/DiskFile.h"

// The endpoint is a build setting (TG_CRASH_UPLOAD_HOST and TG_CRASH_UPLOAD_PORT in CMake).
#ifndef TG_UPLOAD_HOST
#error "TG_UPLOAD_HOST must name the crash-upload host"
#endif
#ifndef TG_UPLOAD_PORT
#define TG_UPLOAD_PORT 80
#endif
#ifndef TG_UPLOAD_WAIT_SECONDS
#define TG_UPLOAD_WAIT_SECONDS UPLOAD_WAIT_SECONDS
#endif
#ifndef TG_UPLOAD_EXCHANGE_MS
#define TG_UPLOAD_EXCHANGE_MS (UPLOAD_EXCHANGE_SECONDS * 1000)
#endif

namespace
{

HMODULE g_hModule = nullptr;

int UploadPort()
{
#ifdef TG_UPLOAD_PORT_VARIABLE
    // Only the loopback build for the tests reads its port from the environment, so that a test
    // can start its endpoint on any free port.
    char szPort[16];
    DWORD n = GetEnvironmentVariableA(TG_UPLOAD_PORT_VARIABLE, szPort, sizeof(szPort));
    if (n > 0 && n < sizeof(szPort))
        return atoi(szPort);
#endif
    return TG_UPLOAD_PORT;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH)
        g_hModule = hInstance;
    return TRUE;
}

extern "C" __declspec(dllexport) int SubmitCrashReport(const char* reportPath, const char* productName)
{
    // The upload's watchdog thread may still be on its way out of this library when the call
    // returns; a caller that frees the library at once must not unmap code still running. Once
    // used, the library stays loaded until the process ends.
    HMODULE hPinned;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCSTR)(void*)&SubmitCrashReport, &hPinned);
    char szUrl[512];
    MakeUploadUrl(TG_UPLOAD_HOST, UploadPort(), szUrl, sizeof(szUrl));
    SUploadLimits limits = {TG_UPLOAD_WAIT_SECONDS, TG_UPLOAD_EXCHANGE_MS};
    // The export's one catch point: no exception may leave into a crashed process's handler.
    // The transaction catches the three kinds the library throws; running out of memory reaches
    // here, and the others are caught as well in case a later change lets one through.
    try
    {
        return SubmitReportTo(szUrl, reportPath, productName, limits);
    }
    catch (const std::bad_alloc&)
    {
        return 0;
    }
    catch (uint32_t)
    {
        return 0;
    }
    catch (CCArray&)
    {
        return 0;
    }
    catch (CDiskFileException* pError)
    {
        delete pError;
        return 0;
    }
}

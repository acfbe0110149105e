// CrashHandler.cpp: the unhandled-exception filter and the crash path.
#include "crash/CrashHandler.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "crash/CrashReportKey.h"
#include "crash/FaultGuard.h"
#include "crash/ReportLines.h"
#include "crash/StackWalk.h"
#include "crash/UploadAgent.h"
#include "platform/Platform.h"
#include "crash/VersionInfo.h"
#include "foundation/DiskFile.h"

namespace
{
// Written once by InstallCrashHandler, before the host starts any other thread; read-only after.
struct SCrashHandlerSettings
{
    int bOwnModuleOnly;
    PFN_ConfirmCrashReport pfnConfirm;
    int32_t nReportTag;
    LPTOP_LEVEL_EXCEPTION_FILTER pfnPreviousFilter;
    HMODULE hHostModule;
};

SCrashHandlerSettings g_crashSettings;

void WriteReport(CDiskFile& file, const struct tm& utc, const SVersionInfo& version,
                 const EXCEPTION_RECORD& exception, const CInsAddrArray& arrFrames)
{
    char szLine[1024];
    if (strftime(szLine, sizeof(szLine), "%d-%b-%y %H:%M:%S", &utc) > 0)
        WriteReportLine(szLine, file);
    snprintf(szLine, sizeof(szLine), "%s %04d internal error (%" PRIXPTR "/%X)", version.originalFilename.GetString(),
             version.number, (uintptr_t)exception.ExceptionAddress,
             (unsigned)exception.ExceptionCode);
    WriteReportLine(szLine, file);

    OSVERSIONINFOA os;
    memset(&os, 0, sizeof(os));
    os.dwOSVersionInfoSize = sizeof(os); // 148 bytes
    if (GetVersionExA(&os))
    {
        snprintf(szLine, sizeof(szLine),
                 "OS Info: MajorVersion[%d] MinorVersion[%d] Build[%d] Platform[%d] CSDVersion[%s]",
                 (int)os.dwMajorVersion, (int)os.dwMinorVersion, (int)os.dwBuildNumber, (int)os.dwPlatformId,
                 os.szCSDVersion);
        WriteReportLine(szLine, file);
    }

    WriteModuleList(file);

    WriteReportLine("Call stack:", file);
    WriteReportLine("Address   Frame     Logical addr  Module", file);
    for (int32_t i = 0; i < arrFrames.GetSize(); i++)
    {
        const SInsAddr& frame = arrFrames.pData[i];
        snprintf(szLine, sizeof(szLine), "%08" PRIXPTR "  %08" PRIXPTR "  %04X:%08X %s", frame.address, frame.frame,
                 frame.section, frame.offset, frame.module);
        WriteReportLine(szLine, file);
    }
}

struct SGuardedCrashPath
{
    EXCEPTION_POINTERS* pPointers;
    int* pbChain;
};

void RunCrashPath(void* pArg)
{
    SGuardedCrashPath& path = *(SGuardedCrashPath*)pArg;
    WriteAndSubmitCrashReport(path.pPointers, path.pbChain);
}
} // namespace

void InstallCrashHandler(int bOwnModuleOnly, PFN_ConfirmCrashReport pfnConfirm)
{
    g_crashSettings.bOwnModuleOnly = bOwnModuleOnly;
    g_crashSettings.pfnConfirm = pfnConfirm;
    g_crashSettings.nReportTag = 0;
    // The handler is linked into the program and into the installer library: the module holding
    // this code is the one whose version resource names the product.
    HMODULE hHost = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (const char*)(void*)&InstallCrashHandler, &hHost);
    g_crashSettings.hHostModule = hHost;
    g_crashSettings.pfnPreviousFilter = SetUnhandledExceptionFilter(CrashExceptionFilter);
}

void RemoveCrashHandler()
{
    LPTOP_LEVEL_EXCEPTION_FILTER pfnCurrent = SetUnhandledExceptionFilter(g_crashSettings.pfnPreviousFilter);
    // Somebody installed a filter after ours (and may chain to it): that one stays.
    if (pfnCurrent != CrashExceptionFilter)
        SetUnhandledExceptionFilter(pfnCurrent);
}

void SetCrashReportTag(int32_t nTag)
{
    g_crashSettings.nReportTag = nTag;
}

LONG WINAPI CrashExceptionFilter(EXCEPTION_POINTERS* pPointers)
{
    int bChain = 1;
    SGuardedCrashPath path = {pPointers, &bChain};
    try
    {
        CallGuarded(RunCrashPath, &path);
    }
    catch (CDiskFileException* pError)
    {
        delete pError;
    }
    catch (...)
    {
        // Nothing may leave the filter: a C++ exception crossing the system's frames would end
        // the process through terminate, with no say of the previous filter.
    }
    if (bChain && g_crashSettings.pfnPreviousFilter)
        return g_crashSettings.pfnPreviousFilter(pPointers);
    return EXCEPTION_EXECUTE_HANDLER;
}

void WriteAndSubmitCrashReport(EXCEPTION_POINTERS* pPointers, int* pbChain)
{
    *pbChain = 1;
    char szHostPath[MAX_PATH];
    if (GetModuleFileNameA(g_crashSettings.hHostModule, szHostPath, MAX_PATH) == 0)
        return;
    SVersionInfo version;
    if (!version.Read(szHostPath))
        return;
    if (ReadCrashReportSwitch(version.productName.GetString()) == 0)
        return;

    CInsAddrArray arrFrames;
    WalkStack(*pPointers->ContextRecord, arrFrames);
    int32_t nOwnFrame = -1;
    for (int32_t i = 0; i < arrFrames.GetSize() && nOwnFrame < 0; i++)
    {
        if (strcmp(arrFrames.pData[i].module, szHostPath) == 0)
            nOwnFrame = i;
    }
    if (g_crashSettings.bOwnModuleOnly && nOwnFrame < 0)
        return;

    // The crash is ours from here: the previous filter is not asked, whatever happens next.
    *pbChain = 0;
    PFN_SubmitCrashReport pfnSubmit = BindUploadAgent();
    if (!pfnSubmit)
        return;
    uint32_t nReporterId = GetReporterId();

    time_t tNow = time(nullptr);
    struct tm utc;
    struct tm* pUtc = gmtime(&tNow);
    if (pUtc)
        utc = *pUtc;
    else
        memset(&utc, 0, sizeof(utc));
    char szStamp[80];
    if (strftime(szStamp, sizeof(szStamp), "%Y.%m.%d_%H.%M.%S", &utc) == 0)
        szStamp[0] = 0;

    const EXCEPTION_RECORD& exception = *pPointers->ExceptionRecord;
    char szFileName[MAX_PATH];
    snprintf(szFileName, sizeof(szFileName), "V%d_%s_%08" PRIXPTR "_%08X_%08X_%d_%s.txt", version.number,
             version.originalFilename.GetString(), nOwnFrame >= 0 ? arrFrames.pData[nOwnFrame].address : (uintptr_t)0,
             (unsigned)exception.ExceptionCode, nReporterId, (int)g_crashSettings.nReportTag, szStamp);

    char szFolder[MAX_PATH];
    if (SysTempFolder(szFolder, MAX_PATH) == 0)
        strcpy(szFolder, "c:\\");
    size_t nFolderLength = strlen(szFolder);
    if (nFolderLength > 0 && szFolder[nFolderLength - 1] != '\\')
        strcat(szFolder, "\\");
    char szReportPath[2 * MAX_PATH];
    snprintf(szReportPath, sizeof(szReportPath), "%s%s", szFolder, szFileName);

    {
        CDiskFile file;
        file.Open(szReportPath, CDiskFile::modeCreate | CDiskFile::modeWrite | CDiskFile::shareDenyWrite);
        WriteReport(file, utc, version, exception, arrFrames);
        file.Close();
    }

    bool bSend = !g_crashSettings.pfnConfirm || g_crashSettings.pfnConfirm(szReportPath) != 0;
    if (bSend)
        pfnSubmit(szReportPath, version.productName.GetString());
    DeleteFileA(szReportPath);
}

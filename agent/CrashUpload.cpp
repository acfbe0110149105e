// CrashUpload.cpp: the report upload and its watchdog.
#include "agent/CrashUpload.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "agent/HttpClient.h"
#include "agent/NoCase.h"
#include "platform/Sockets.h"

namespace
{

const char* const USER_AGENT = "Orvane Crash Report Agent";
const char* const UPLOAD_PATH = "/cgi-bin/crash_upload.cgi";
// After the deadline the watchdog keeps closing the socket at this pace until the exchange has
// ended, in case the exchange was creating its socket at the very moment of the first close.
const int WATCHDOG_REPEAT_MS = 50;
const size_t WATCHDOG_STACK = 64 * 1024;

// Shared by the uploading thread and the watchdog. Either may be the last to let go (the
// watchdog may still be inside its final wait when the upload returns), so each holds one
// reference and whichever drops the last one deletes the record.
struct SUploadWatch
{
    volatile SOCKET hSocket;
    volatile int32_t bStop;
    CManualEvent evDone;
    std::atomic<int32_t> nRefs;
    int nExchangeMs;
};

void ReleaseWatch(SUploadWatch* pWatch)
{
    if (pWatch->nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete pWatch;
}

unsigned WatchdogProc(void* pArg)
{
    SUploadWatch* pWatch = static_cast<SUploadWatch*>(pArg);
    if (!pWatch->evDone.Wait(pWatch->nExchangeMs))
    {
        SysRaiseFlag(&pWatch->bStop);
        do
            CloseSocketAt(&pWatch->hSocket);
        while (!pWatch->evDone.Wait(WATCHDOG_REPEAT_MS));
    }
    ReleaseWatch(pWatch);
    return 0;
}

bool IsReservedHost(const CCArray& strHost)
{
    const char* pszSuffix = ".invalid";
    int32_t nLength = strHost.GetLength();
    int32_t nSuffix = (int32_t)strlen(pszSuffix);
    return EqualsNoCase(strHost.GetString(), pszSuffix + 1) ||
           (nLength > nSuffix && EqualsNoCase(strHost.RightPtr(nSuffix), pszSuffix));
}

} // namespace

void MakeUploadUrl(const char* pszHost, int nPort, char* pszOut, int nSize)
{
    if (nPort == 80)
        snprintf(pszOut, nSize, "http://%s%s", pszHost, UPLOAD_PATH);
    else
        snprintf(pszOut, nSize, "http://%s:%d%s", pszHost, nPort, UPLOAD_PATH);
}

int SubmitReportTo(const char* pszUrl, const char* pszReportPath, const char* pszProductName,
                   const SUploadLimits& limits)
{
    SUrl* pUrl = ParseUrl(pszUrl);
    if (!pUrl)
        return 0;
    if (IsReservedHost(GetUrlPart(*pUrl, URL_HOST)))
    {
        FreeUrl(pUrl);
        return 0;
    }

    SUploadWatch* pWatch = new SUploadWatch;
    pWatch->hSocket = INVALID_SOCKET;
    pWatch->bStop = 0;
    pWatch->nRefs.store(2, std::memory_order_relaxed);
    pWatch->nExchangeMs = limits.nExchangeMs;
    if (!pWatch->evDone.Create(false) ||
        !SysStartThread(WatchdogProc, pWatch, SysScaledStack(WATCHDOG_STACK), nullptr))
    {
        // No upload without its bound.
        delete pWatch;
        FreeUrl(pUrl);
        return 0;
    }

    int nAccepted = 0;
    {
        CMTBlockingSocket sock(&pWatch->hSocket, &pWatch->bStop, limits.nWaitSeconds, limits.nWaitSeconds);
        SHttpRequest request;
        request.url = pUrl;
        if (pszReportPath)
        {
            request.responseFile = pszReportPath;
            request.responseFile.Append(".resp");
        }
        else
        {
            // Without a report there is no folder of the caller's to use.
            char szTemp[1024];
            size_t nTemp = SysTempFolder(szTemp, sizeof(szTemp));
            request.responseFile.SetText(szTemp, (int32_t)nTemp);
            request.responseFile.Append("dumpsend.resp");
        }
        request.bodyKind = BODY_MULTIPART;
        SFormVar file;
        file.name = "file";
        file.value = pszReportPath ? pszReportPath : "";
        file.filePath = pszReportPath ? pszReportPath : "";
        request.formVars.Add(file);
        SFormVar app;
        app.name = "app";
        app.value = pszProductName ? pszProductName : "";
        app.filePath = "";
        request.formVars.Add(app);

        int nResult = RunHttpTransaction(request, sock, nullptr, USER_AGENT, nullptr, nullptr, nullptr);
        sock.Close();
        SysDeleteFile(request.responseFile.GetString());
        nAccepted = nResult == 0 && request.response.status == 200 ? 1 : 0;
    }

    pWatch->evDone.Set();
    ReleaseWatch(pWatch);
    FreeUrl(pUrl);
    return nAccepted;
}

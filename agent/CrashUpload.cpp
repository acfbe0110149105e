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

// Frees the parsed URL however the upload leaves.
class CUrlHolder
{
public:
    explicit CUrlHolder(SUrl* pUrlIn) : pUrl(pUrlIn) {}
    ~CUrlHolder() { FreeUrl(pUrl); }
    SUrl* pUrl;

private:
    CUrlHolder(const CUrlHolder&) = delete;
    CUrlHolder& operator=(const CUrlHolder&) = delete;
};

// Tells the watchdog that the exchange has ended and lets go of the upload's share of the record,
// however the upload leaves (a std::bad_alloc included).
class CWatchRelease
{
public:
    explicit CWatchRelease(SUploadWatch* pWatchIn) : pWatch(pWatchIn) {}
    ~CWatchRelease()
    {
        pWatch->evDone.Set();
        ReleaseWatch(pWatch);
    }

private:
    SUploadWatch* pWatch;
    CWatchRelease(const CWatchRelease&) = delete;
    CWatchRelease& operator=(const CWatchRelease&) = delete;
};

// Closes the socket and deletes the response file however the exchange leaves: the body the
// endpoint sent back is never read.
class CExchangeEnd
{
public:
    CExchangeEnd(CBlockingSocket& sockIn, const CCArray& strFileIn) : sock(sockIn), strFile(strFileIn) {}
    ~CExchangeEnd()
    {
        sock.Close();
        SysDeleteFile(strFile.GetString());
    }

private:
    CBlockingSocket& sock;
    const CCArray& strFile;
    CExchangeEnd(const CExchangeEnd&) = delete;
    CExchangeEnd& operator=(const CExchangeEnd&) = delete;
};

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
    CUrlHolder url(pUrl);
    if (IsReservedHost(GetUrlPart(*pUrl, URL_HOST)))
        return 0;

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
        return 0;
    }
    CWatchRelease release(pWatch);

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
    CExchangeEnd end(sock, request.responseFile);
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
    return nResult == 0 && request.response.status == 200 ? 1 : 0;
}

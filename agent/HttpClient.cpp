// HttpClient.cpp: RunHttpTransaction, from the connect to the last byte of the response body.
#include "agent/HttpClient.h"

#include <cstdio>
#include <cstring>

#include "agent/Base64.h"
#include "agent/NoCase.h"
#include "foundation/DiskFile.h"
#include "foundation/TextHelpers.h"
#include "net/ErrorText.h"

namespace
{

const char* const DEFAULT_USER_AGENT = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";
const int BODY_BLOCK = 1024;

[[noreturn]] void ThrowText(const char* psz)
{
    throw CCArray(psz);
}

// One line, byte by byte, as the socket layer's ReceiveLine reads it (a zero byte stored as '^',
// a bare LF turned into CR LF), appended to strOut. The line may take at most *pnBudget bytes
// from the socket; the budget shrinks by what it took, and a line that would overrun it throws
// pszTooLong. Without the budget a server sending bytes that never end a line would make the
// agent grow its buffer without limit.
void ReceiveCappedLine(CBlockingSocket& sock, CCArray& strOut, int32_t* pnBudget, const char* pszTooLong)
{
    int32_t nStart = strOut.GetLength();
    char ch;
    do
    {
        if (*pnBudget <= 0)
            ThrowText(pszTooLong);
        sock.Receive(&ch, 1);
        (*pnBudget)--;
        strOut.AppendChar(ch == 0 ? '^' : ch);
    } while (ch != '\n');
    int32_t nEnd = strOut.GetLength();
    if (nEnd - nStart == 1 || strOut.pData[nEnd - 2] != '\r')
    {
        strOut.Truncate(nEnd - 1);
        strOut.Append("\r\n", 2);
    }
}

bool IsRedirect(int nStatus)
{
    return nStatus == 300 || nStatus == 301 || nStatus == 302 || nStatus == 303 || nStatus == 307;
}

// Whether the connection may stay open after this response.
bool MayStayOpen(const CHtRespHead& head)
{
    bool bKeepAlive = false;
    bool bClose = false;
    CCArray strValue;
    if (head.GetHeader("Connection", strValue))
    {
        const char* p = strValue.GetString();
        for (;;)
        {
            const char* pEnd = strchr(p, ',');
            CCArray strToken;
            strToken.SetText(p, pEnd ? (int32_t)(pEnd - p) : (int32_t)strlen(p));
            strToken.Trim();
            if (EqualsNoCase(strToken.GetString(), "keep-alive"))
                bKeepAlive = true;
            if (EqualsNoCase(strToken.GetString(), "close"))
                bClose = true;
            if (!pEnd)
                break;
            p = pEnd + 1;
        }
    }
    if (head.version == 0x10000)
        return bKeepAlive;
    return head.version > 0x10000 && !bClose;
}

void SetProgress(SHttpProgress* pProgress, int32_t nState)
{
    if (pProgress)
        pProgress->state.exchange(nState);
}

void WriteBlock(CDiskFile& sink, const char* p, int n, int64_t& nReceived, SHttpProgress* pProgress)
{
    if (nReceived + n > MAX_RESPONSE_BODY_BYTES)
        ThrowText("Response body too long");
    sink.Write(p, (uint32_t)n);
    nReceived += n;
    if (pProgress && pProgress->downloadMode)
        pProgress->done.exchange((int32_t)nReceived);
}

// Moves nLength bytes from the socket to the sink in blocks of BODY_BLOCK.
void MoveBytes(CBlockingSocket& sock, CDiskFile& sink, int64_t nLength, int64_t& nReceived,
               SHttpProgress* pProgress)
{
    char block[BODY_BLOCK];
    while (nLength > 0)
    {
        int nWant = nLength < BODY_BLOCK ? (int)nLength : BODY_BLOCK;
        int n = sock.Receive(block, nWant);
        WriteBlock(sink, block, n, nReceived, pProgress);
        nLength -= n;
    }
}

CCArray BuildRequestHead(SHttpRequest& request, const SProxySettings& proxy, bool bHttpProxy,
                         const char* pszUserAgent, CCookieStore* pCookies, SBodyPlan& plan)
{
    const SUrl& url = *request.url;
    const char* pszMethod = request.bodyKind > BODY_NONE ? "POST" : "GET";
    CCArray strHead(pszMethod);
    strHead.AppendChar(' ');
    if (bHttpProxy)
    {
        strHead.Append(GetAbsoluteUrl(url));
        strHead.Append(" HTTP/1.0\r\nAccept: */*\r\nUser-Agent: ");
        strHead.Append(pszUserAgent);
        strHead.Append("\r\n");
        if (proxy.authenticate)
        {
            strHead.Append("Proxy-Authorization: ");
            strHead.Append(MakeBasicCredentials(proxy.user, proxy.password));
            strHead.Append("\r\n");
        }
    }
    else
    {
        strHead.Append(GetRequestUri(url));
        strHead.Append(" HTTP/1.1\r\nHost: ");
        strHead.Append(GetHostPort(url));
        strHead.Append("\r\nAccept: */*\r\nAccept-Encoding: \r\nUser-Agent: ");
        strHead.Append(pszUserAgent);
        strHead.Append("\r\n");
    }

    CCArray strCredentials;
    if (url.pnLength[URL_USER] > 0 || url.pnLength[URL_PASSWORD] > 0)
        strCredentials = MakeBasicCredentials(GetUrlPart(url, URL_USER).GetString(),
                                              GetUrlPart(url, URL_PASSWORD).GetString());
    else if (!request.userName.IsEmpty() || !request.password.IsEmpty())
        strCredentials = MakeBasicCredentials(request.userName.GetString(), request.password.GetString());
    if (!strCredentials.IsEmpty())
    {
        strHead.Append("Authorization: ");
        strHead.Append(strCredentials);
        strHead.Append("\r\n");
    }

    AppendBodyHeadLines(request.bodyKind, request.formVars, plan, strHead);

    CCArray strCookies;
    if (pCookies && pCookies->BuildCookieHeader(url, strCookies))
    {
        strHead.Append("Cookie: ");
        strHead.Append(strCookies);
        strHead.Append("\r\n");
    }
    strHead.Append("Connection: Keep-Alive\r\n");
    strHead.Append(request.extraHeaders);
    strHead.Append("\r\n");
    return strHead;
}

void ErrorCodeText(uint32_t nCode, CCArray& strOut)
{
    if (ErrorWsa(nCode) == 0 && ErrorCondition(nCode) == COND_SOCKS_NEGOTIATE)
        strOut = "Socks proxy connect error";
    else if (ErrorWsa(nCode) == 0 && ErrorCondition(nCode) == COND_SOCKS_AUTH)
        strOut = "Socks proxy auth. error";
    else
        SocketErrorText(nCode, strOut);
}

} // namespace

void ReceiveResponseHead(CBlockingSocket& sock, CHtRespHead& head, bool bSkipContinue)
{
    int32_t nBudget = MAX_RESPONSE_HEAD_BYTES;
    for (;;)
    {
        CCArray strBlock;
        strBlock.SetText("", 0);
        int32_t nLineStart;
        do
        {
            nLineStart = strBlock.GetLength();
            ReceiveCappedLine(sock, strBlock, &nBudget, "Response headers too long");
        } while (strcmp(strBlock.GetString() + nLineStart, "\r\n") != 0);
        if (!head.Parse(strBlock))
            ThrowText("Invalid HTTP response headers");
        if (!bSkipContinue || head.status != 100)
            return;
    }
}

int64_t ReceiveResponseBody(CBlockingSocket& sock, const CHtHead& head, CDiskFile& sink,
                            SHttpProgress* pProgress, bool* pbToClose)
{
    int64_t nReceived = 0;
    *pbToClose = false;
    CCArray strValue;
    if (head.GetHeader("transfer-encoding", strValue))
    {
        if (pProgress && pProgress->downloadMode)
            pProgress->total.exchange(-1);
        for (;;)
        {
            CCArray strLine;
            strLine.SetText("", 0);
            int32_t nBudget = MAX_CHUNK_LINE_BYTES;
            ReceiveCappedLine(sock, strLine, &nBudget, "Invalid chunked encoding");
            int32_t nEnd = strLine.FindChar(';');
            strLine.Truncate(nEnd >= 0 ? nEnd : strLine.GetLength() - 2);
            strLine.Trim();
            // A size that does not fit 31 bits is refused here rather than wrapped.
            int32_t nSize = ParseInt(strLine.GetString(), 16, -1);
            if (nSize < 0)
                ThrowText("Invalid chunked encoding");
            MoveBytes(sock, sink, nSize, nReceived, pProgress);
            char crlf[2];
            sock.ReceiveAll(crlf, 2);
            if (nSize == 0)
                break;
        }
    }
    else if (head.GetHeader("content-length", strValue))
    {
        int32_t nLength = ParseInt(strValue.GetString(), 10, -1);
        if (nLength < 0)
            ThrowText("Invalid Content-Length");
        if (nLength > MAX_RESPONSE_BODY_BYTES)
            ThrowText("Response body too long"); // refused before a byte of it is read
        if (pProgress && pProgress->downloadMode)
            pProgress->total.exchange(nLength);
        MoveBytes(sock, sink, nLength, nReceived, pProgress);
    }
    else
    {
        if (pProgress && pProgress->downloadMode)
            pProgress->total.exchange(-1);
        *pbToClose = true;
        char block[BODY_BLOCK];
        for (;;)
        {
            int n;
            try
            {
                n = sock.Receive(block, BODY_BLOCK);
            }
            catch (uint32_t nCode)
            {
                // The peer's close is the end of this body, not a failure.
                if (ErrorCondition(nCode) == COND_CONNECTION_CLOSED)
                    break;
                throw;
            }
            WriteBlock(sink, block, n, nReceived, pProgress);
        }
    }
    if (pProgress && pProgress->downloadMode)
    {
        pProgress->total.exchange((int32_t)nReceived);
        pProgress->done.exchange((int32_t)nReceived);
    }
    return nReceived;
}

namespace
{
// Connects a socket that is not connected yet: to an HTTP proxy itself, else to the URL's host
// (through a SOCKS proxy when one is set). A socket kept open by the last exchange is used as it is.
void ConnectForRequest(CBlockingSocket& sock, const SProxySettings& proxy, bool bHttpProxy, const SUrl& url,
                       SHttpProgress* pProgress)
{
    if (sock.GetHandle() == INVALID_SOCKET)
    {
        sock.Create(SOCK_STREAM);
        SetProgress(pProgress, PROGRESS_CONNECTING);
        if (bHttpProxy)
        {
            sockaddr_in sa;
            sock.ConnectTo(sa, proxy.host, (unsigned short)proxy.port);
        }
        else
            ConnectThroughProxy(&proxy, sock, GetUrlPart(url, URL_HOST).GetString(), (unsigned short)url.nPort);
    }
    SetProgress(pProgress, PROGRESS_CONNECTED);
}

// What the response head asks of the client: its cookies are stored, and a redirection's target
// is resolved against the request's URL into request.redirectUrl.
void TakeResponseHead(SHttpRequest& request, const SUrl& url, CCookieStore* pCookies)
{
    const CHtRespHead& head = request.response;
    if (pCookies)
        for (int32_t i = 0; i < head.names.GetSize(); i++)
            if (EqualsNoCase(head.names[i].GetString(), "Set-Cookie"))
                pCookies->StoreCookie(url, head.values[i].GetString());

    if (IsRedirect(head.status))
    {
        CCArray strLocation;
        if (!head.GetHeader("location", strLocation))
            ThrowText("Invalid redirection directive.");
        if (!ResolveLocation(strLocation, GetUrlPart(url, URL_BASE).GetString()))
            ThrowText("Invalid redirection address");
        request.redirectUrl = strLocation;
    }
}

// The file the body goes to: the caller's handle (taken over) or the named file, created. pSink
// is set before the file is opened, so that the caller closes and frees it also when that throws.
void OpenResponseSink(SHttpRequest& request, CDiskFile*& pSink)
{
    if (request.useResponseHandle)
    {
        pSink = new CDiskFile(request.responseHandle);
        request.responseHandle = FILE_INVALID;
    }
    else
    {
        pSink = new CDiskFile;
        pSink->Open(request.responseFile.GetString(),
                    CDiskFile::modeCreate | CDiskFile::modeReadWrite | CDiskFile::shareDenyWrite);
    }
}

// The result bits of a transaction that failed with an engine error code.
int SocketFailureResult(uint32_t nCode)
{
    int nResult = HTTP_FAILED;
    if (CBlockingSocket::IsTransientError(nCode))
        nResult |= HTTP_FAILED_TRANSIENT;
    int nCondition = ErrorCondition(nCode);
    if (nCondition == COND_CONNECT || nCondition == COND_SOCKS_NEGOTIATE || nCondition == COND_SOCKS_AUTH)
        nResult |= HTTP_FAILED_CONNECT;
    return nResult;
}
} // namespace

int RunHttpTransaction(SHttpRequest& request, CBlockingSocket& sock, const SProxySettings* pProxy,
                       const char* pszUserAgent, CCookieStore* pCookies, SHttpProgress* pProgress,
                       STransferCounter* pCounter)
{
    SProxySettings proxy;
    memset(&proxy, 0, sizeof(proxy));
    if (pProxy)
        proxy = *pProxy;
    bool bHttpProxy = proxy.enabled && proxy.type == PROXY_HTTP;
    request.errorText.SetText("", 0);
    request.redirectUrl.SetText("", 0);
    if (!pszUserAgent)
        pszUserAgent = DEFAULT_USER_AGENT;
    int nResult = 0;
    int64_t nCounted = 0;
    bool bStayOpen = false;
    CDiskFile* pSink = nullptr;

    try
    {
        if (!request.url)
            ThrowText("No URL");
        const SUrl& url = *request.url;
        ConnectForRequest(sock, proxy, bHttpProxy, url, pProgress);

        SBodyPlan plan;
        CCArray strHead = BuildRequestHead(request, proxy, bHttpProxy, pszUserAgent, pCookies, plan);
        sock.SendAll(strHead.GetString(), strHead.GetLength());
        SendBody(request.bodyKind, request.formVars, plan, sock, pProgress, pCounter);

        ReceiveResponseHead(sock, request.response, request.bodyKind > BODY_NONE);
        bStayOpen = MayStayOpen(request.response);
        TakeResponseHead(request, url, pCookies);

        OpenResponseSink(request, pSink);
        if (pProgress && pProgress->downloadMode)
            SetProgress(pProgress, PROGRESS_RECEIVING);
        bool bToClose = false;
        int64_t nReceived = ReceiveResponseBody(sock, request.response, *pSink, pProgress, &bToClose);
        if (bToClose)
            bStayOpen = false;
        if (pCounter && pCounter->bDownload)
        {
            pCounter->Add(nReceived);
            nCounted = nReceived;
        }
    }
    catch (uint32_t nCode)
    {
        ErrorCodeText(nCode, request.errorText);
        nResult = SocketFailureResult(nCode);
    }
    catch (CCArray& strMessage)
    {
        request.errorText = strMessage;
        nResult = HTTP_FAILED;
    }
    catch (CDiskFileException* pError)
    {
        CCArray strSystem;
        GetSystemErrorText(strSystem, pError->dwError);
        delete pError;
        request.errorText = "File Error: ";
        request.errorText.Append(strSystem);
        nResult = HTTP_FAILED;
    }

    if (pSink)
    {
        pSink->Close();
        delete pSink;
    }
    if (request.useResponseHandle && request.responseHandle != FILE_INVALID)
    {
        // Taken over even when the exchange failed before the body.
        SysCloseFile(request.responseHandle);
        request.responseHandle = FILE_INVALID;
    }
    if (nResult != 0 || !bStayOpen)
        sock.Close();
    if (nResult != 0 && pCounter && pCounter->bDownload && nCounted != 0)
        pCounter->Add(-nCounted);
    return nResult;
}

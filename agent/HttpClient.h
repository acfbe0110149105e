// HttpClient.h: SHttpRequest and RunHttpTransaction, one HTTP/1.1 request and its response on a
// caller-owned blocking socket.
//
// Every wait of a transaction is a wait of the socket, bounded by the socket's own time-outs; a
// caller that needs a bound on the whole exchange closes the socket from another thread (see
// CrashUpload.h). What the server sends is never trusted to be small: the response head and body
// are capped, and bodies move in blocks of 1024 bytes whatever length the server announces.
#pragma once

#include <cstdint>

#include "agent/CookieStore.h"
#include "agent/FormBody.h"
#include "agent/HttpHead.h"
#include "agent/Progress.h"
#include "agent/Proxy.h"
#include "agent/Url.h"
#include "net/BlockingSocket.h"

// All response heads of one exchange together (100 Continue heads included) may not exceed this.
const int32_t MAX_RESPONSE_HEAD_BYTES = 64 * 1024;
// A chunk-size line longer than this is no chunk-size line.
const int32_t MAX_CHUNK_LINE_BYTES = 1024;
// A response body may not exceed this (1 MiB): the agent's answers are a line or two, and a
// server that sends more would otherwise fill the response file until the exchange's bound.
// A longer body fails the transaction ("Response body too long").
const int64_t MAX_RESPONSE_BODY_BYTES = 1024 * 1024;

struct SHttpRequest
{
    CCArray errorText;
    SUrl* url; // not owned
    CCArray redirectUrl;
    CCArray responseFile;
    int useResponseHandle;
    FILEHANDLE responseHandle; // taken over (and closed) by the transaction when useResponseHandle
    int bodyKind;              // EBodyKind
    CCArray extraHeaders;      // complete lines, each ended by CR LF
    CFormVarArray formVars;
    CHtRespHead response;
    CCArray userName; // Basic credentials when the URL carries none
    CCArray password;

    SHttpRequest() : url(nullptr), useResponseHandle(0), responseHandle(FILE_INVALID), bodyKind(BODY_NONE) {}
};

// Result bits of RunHttpTransaction; 0 is success.
enum EHttpResult
{
    HTTP_FAILED = 1,
    HTTP_FAILED_TRANSIENT = 2, // a lost or timed-out connection
    HTTP_FAILED_CONNECT = 4,   // the connect failed, or a SOCKS proxy refused
};

// Runs one exchange: connects when the socket is closed, sends the head and the body, reads the
// response head (after any 100 Continue), stores cookies, resolves a redirect target into
// redirectUrl, writes the body to the response file, and leaves the socket open only when the
// response allows it. Null hooks are not used; a null user agent sends the default one.
int RunHttpTransaction(SHttpRequest& request, CBlockingSocket& sock, const SProxySettings* pProxy,
                       const char* pszUserAgent, CCookieStore* pCookies, SHttpProgress* pProgress,
                       STransferCounter* pCounter);

// The response head and body as the transaction reads them, for RunHttpTransaction and the fuzz
// target: with bSkipContinue, reads heads until one that is not 100 Continue. Throws
// like the transaction.
void ReceiveResponseHead(CBlockingSocket& sock, CHtRespHead& head, bool bSkipContinue);
// Reads the body the head announces into the sink; returns the byte count. *pbToClose is set when
// the body ran to the peer's close.
int64_t ReceiveResponseBody(CBlockingSocket& sock, const CHtHead& head, class CDiskFile& sink,
                            SHttpProgress* pProgress, bool* pbToClose);

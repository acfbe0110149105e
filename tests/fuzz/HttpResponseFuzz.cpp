// HttpResponseFuzz.cpp: libFuzzer target for the upload agent's reading of a response: the head
// parser, 100 Continue, redirect resolution, cookies and the three body framings, chunked above
// all.
//
// One input is one server's answer to one request. The transaction runs over the scripted socket
// table: the connect succeeds and the server's bytes arrive in chunks of a size chosen by the
// input's last byte; its bit 7 makes the request a form post (so that 100 Continue heads are
// skipped) and bit 6 keeps the connection open after the bytes instead of closing it (the
// transaction then sees a time-out). The body goes to a file in a folder of the target's own.
//
// Besides what the sanitizers catch: the body file never holds more bytes than the input, the
// socket is closed at most once, and a failed transaction always leaves an error text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "agent/HttpClient.h"
#include "tests/support/ScriptedSocketApi.h"

namespace
{

std::string g_strBodyFile;

void Check(bool bCondition, const char* pszWhat)
{
    if (!bCondition)
    {
        fprintf(stderr, "invariant broken: %s\n", pszWhat);
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (g_strBodyFile.empty())
    {
        char szFolder[] = "/tmp/tg-http-fuzz-XXXXXX";
        if (!mkdtemp(szFolder))
            abort();
        g_strBodyFile = std::string(szFolder) + "/body";
    }
    if (nSize == 0)
        return 0;
    // A transaction that fails before its body leaves no file: none may be left from the last one.
    unlink(g_strBodyFile.c_str());
    uint8_t nControl = pData[nSize - 1];
    std::string strServer((const char*)pData, nSize - 1);
    int nChunk = (nControl & 0x3F) + 1;

    CScriptedSocketApi script;
    SOCKET h = script.NextHandle();
    if (!strServer.empty())
        script.QueueChunks(h, strServer, nChunk);
    if (nControl & 0x40)
        script.SetWhenEmpty(h, CScriptedSocketApi::EMPTY_TIMEOUT);

    SUrl* pUrl = ParseUrl("http://10.0.0.1:8080/dir/sub/upload.cgi?x=1");
    SHttpRequest request;
    request.url = pUrl;
    request.responseFile = g_strBodyFile.c_str();
    if (nControl & 0x80)
    {
        request.bodyKind = BODY_URLENCODED;
        SFormVar var;
        var.name = "app";
        var.value = "Tollgate";
        request.formVars.Add(var);
    }
    CCookieStore cookies;
    CSTBlockingSocket sock(1, 1, script.GetTable());
    int nResult = RunHttpTransaction(request, sock, nullptr, nullptr, &cookies, nullptr, nullptr);
    sock.Close();

    Check(script.CloseCount(h) <= 1, "socket closed twice");
    Check(nResult == 0 || !request.errorText.IsEmpty(), "failure without an error text");
    FILE* pFile = fopen(g_strBodyFile.c_str(), "rb");
    if (pFile)
    {
        fseek(pFile, 0, SEEK_END);
        long nBody = ftell(pFile);
        fclose(pFile);
        Check(nBody <= (long)strServer.size(), "body longer than what the server sent");
    }
    CCArray strCookies;
    cookies.BuildCookieHeader(*pUrl, strCookies);
    FreeUrl(pUrl);
    return 0;
}

// AgentTestSupport.h: files and scripted exchanges shared by the upload agent's tests.
#pragma once

#include <string>

#include "agent/HttpClient.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScriptedSocketApi.h"

std::string ReadFileBytes(const std::string& strPath);
void WriteFileBytes(const std::string& strPath, const std::string& strBytes);
bool FileExists(const std::string& strPath);

// One transaction over the scripted socket table: the server's bytes are queued on the handle
// the transaction will create, the response body goes to a file in a folder of the test's own.
class CScriptedExchange
{
public:
    explicit CScriptedExchange(const char* pszUrl);
    ~CScriptedExchange();

    // Queues the server's bytes (in chunks of nChunk bytes when nChunk > 0).
    void Serve(const std::string& strBytes, int nChunk = 0);
    int Run(const SProxySettings* pProxy = nullptr, CCookieStore* pCookies = nullptr);
    std::string Sent() const { return script.Sent(hSocket); }
    std::string Body() const { return ReadFileBytes(strResponseFile); }

    CScriptedSocketApi script;
    SOCKET hSocket;
    CTempFolder folder;
    std::string strResponseFile;
    SUrl* pUrl;
    SHttpRequest request;
    CSTBlockingSocket sock;
};

// AgentTestSupport.h: files and scripted exchanges shared by the upload agent's tests.
#pragma once

#include <string>

#include "agent/HttpClient.h"
#include "tests/support/EngineTestSupport.h"
#include "tests/support/ScriptedSocketApi.h"

std::string ReadFileBytes(const std::string& strPath);
void WriteFileBytes(const std::string& strPath, const std::string& strBytes);

// One transaction over the scripted socket table: the server's bytes are queued on the handle
// the transaction will create; the body goes to a file in a folder of the test's own.
struct CScriptedExchange
{
    explicit CScriptedExchange(const char* pszUrl, const std::string& strServer = "", int nChunk = 0);
    ~CScriptedExchange();
    int Run(const SProxySettings* pProxy = nullptr, CCookieStore* pCookies = nullptr);
    std::string Sent() const { return script.Sent(hSocket); }
    std::string Body() const { return ReadFileBytes(strResponseFile); }
    std::string Error() const { return request.errorText.GetString(); }

    CScriptedSocketApi script;
    SOCKET hSocket;
    CTempFolder folder;
    std::string strResponseFile;
    SUrl* pUrl;
    SHttpRequest request;
    CSTBlockingSocket sock;
};

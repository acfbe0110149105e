// AgentTestSupport.cpp: files and scripted exchanges of the upload agent's tests.
#include "AgentTestSupport.h"

#include <fstream>
#include <sstream>

std::string ReadFileBytes(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& strPath, const std::string& strBytes)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strBytes;
}

CScriptedExchange::CScriptedExchange(const char* pszUrl, const std::string& strServer, int nChunk)
    : hSocket(script.NextHandle()), pUrl(ParseUrl(pszUrl)), sock(5, 5, script.GetTable())
{
    if (nChunk > 0)
        script.QueueChunks(hSocket, strServer, nChunk);
    else if (!strServer.empty())
        script.QueueData(hSocket, strServer);
    strResponseFile = folder.GetPath() + PATH_SEPARATOR + "response.bin";
    request.url = pUrl;
    request.responseFile = strResponseFile.c_str();
}

CScriptedExchange::~CScriptedExchange()
{
    sock.Close();
    FreeUrl(pUrl);
}

int CScriptedExchange::Run(const SProxySettings* pProxy, CCookieStore* pCookies)
{
    return RunHttpTransaction(request, sock, pProxy, "Test Agent", pCookies, nullptr, nullptr);
}

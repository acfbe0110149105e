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
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(strBytes.data(), (std::streamsize)strBytes.size());
}

bool FileExists(const std::string& strPath)
{
    return SysFileExists(strPath.c_str());
}

CScriptedExchange::CScriptedExchange(const char* pszUrl)
    : hSocket(INVALID_SOCKET), pUrl(ParseUrl(pszUrl)), sock(5, 5, script.GetTable())
{
    hSocket = script.NextHandle();
    strResponseFile = folder.GetPath() + PATH_SEPARATOR + "response.bin";
    request.url = pUrl;
    request.responseFile = strResponseFile.c_str();
}

CScriptedExchange::~CScriptedExchange()
{
    FreeUrl(pUrl);
}

void CScriptedExchange::Serve(const std::string& strBytes, int nChunk)
{
    if (nChunk > 0)
        script.QueueChunks(hSocket, strBytes, nChunk);
    else
        script.QueueData(hSocket, strBytes);
}

int CScriptedExchange::Run(const SProxySettings* pProxy, CCookieStore* pCookies)
{
    return RunHttpTransaction(request, sock, pProxy, "Test Agent", pCookies, nullptr, nullptr);
}

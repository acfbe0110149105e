// ScriptedEngine.h: the fixture of the engine tests that run over the scripted socket table: a
// session run on the test's own thread, as the listener would run it on one of its own, with its
// log in a folder of the test's.
#pragma once

#include <cstring>

#include "../support/ScriptedSocketApi.h"
#include "tests/support/EngineTestSupport.h"
#include "config/Settings.h"
#include "engine/PasswordGuard.h"
#include "engine/ServerContext.h"
#include "engine/Session.h"
#include "engine/SessionTable.h"

inline sockaddr_in Address(uint32_t dwHost, uint16_t nPort)
{
    sockaddr_in sa = LoopbackAddress(nPort);
    sa.sin_addr.s_addr = htonl(dwHost);
    return sa;
}

// A client's UDP datagram for 127.0.0.1:53.
inline std::string UdpHeader53(const std::string& strPayload)
{
    return ByteString({0, 0, 0, 1, 127, 0, 0, 1, 0, 53}) + strPayload;
}

class ScriptedEngine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetServerShell(&TestShell());
        script.InstallAsDefault();
        g_settings.bSocks4 = 1;
        g_settings.bSocks5 = 1;
        g_settings.bSocks5Auth = 0;
        g_settings.bIpFilter = 0;
        nConnectionLimit = 9999;
        CCArray strPath((folder.GetPath() + PATH_SEPARATOR + "ServerLog.txt").c_str());
        g_server.logFile.Open(strPath);
        strLogPath = strPath.GetString();
    }

    void TearDown() override
    {
        g_server.logFile.Close();
        EXPECT_TRUE(WaitEngineThreadsEnded(WAIT_MS));
        SetEngineClock(nullptr);
        ForgetPasswordFailures();
    }

    // A scripted client connection from 127.0.0.1:5555 to the proxy at 127.0.0.1:1080.
    SOCKET NewClient()
    {
        SOCKET h = script.AddSocket();
        script.SetPeerName(h, Address(0x7F000001, 5555));
        script.SetSockName(h, Address(0x7F000001, 1080));
        return h;
    }

    // Runs a whole session on this thread, as the listener would have it run on its own.
    void RunSession(SOCKET hClient)
    {
        SCSTask* pTask = NewSessionRecord(hClient);
        pTask->dwSessionId = 0x7E000000u + (uint32_t)++nSessions;
        {
            CScopedLock lock(g_csSessionTable);
            ASSERT_TRUE(g_sessionTable.Insert(pTask));
        }
        EngineThreadStarting();
        SessionThreadProc(pTask);
        EXPECT_EQ(GetSessionCount(), 0);
    }

    SLogLine LastLine()
    {
        std::vector<SLogLine> lines = ReadLog(strLogPath);
        return lines.empty() ? SLogLine() : lines.back();
    }

    CTempFolder folder;
    CScriptedSocketApi script;
    std::string strLogPath;
    int nSessions = 0;
};

// Host names the scripted sessions resolve: only "localhost", without any name server.
inline bool LookupLocalhost(const char* pszName, in_addr* pAddr)
{
    if (strcmp(pszName, "localhost") != 0)
        return false;
    pAddr->s_addr = htonl(0x7F000001);
    return true;
}


// ScriptedEngineTest.cpp: engine paths that the loopback network cannot produce, played over the
// scripted socket table: a destination that must never be dialled, sockets that cannot be
// created or bound, a client that says nothing, partial sends, Windows' connection-reset report
// on UDP sockets, and a listener whose Accept fails.
#include <atomic>
#include <cstring>

#include "../support/AllocFailure.h"
#include "ScriptedEngine.h"
#include "engine/UdpRelay.h"
#include "net/SocketApi.h"

// SOCKS4a: a destination of 0.0.0.x is never dialled. The host name after the user id is
// resolved and connected to, and whatever follows it is the client's first data.
TEST_F(ScriptedEngine, Socks4aHostNameIsResolvedAndConnected)
{
    SetHostLookup(LookupLocalhost);
    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({4, 1, 0, 80, 0, 0, 0, 1}) + "me" + std::string(1, '\0'));
    script.QueueData(hClient, std::string("localhost") + '\0' + "GET /");
    SOCKET hDest = script.NextHandle();
    script.SetWhenEmpty(hDest, CScriptedSocketApi::EMPTY_BLOCK);
    RunSession(hClient);
    SetHostLookup(nullptr);

    EXPECT_EQ(EndpointOf(script.ConnectedTo(hDest)), "127.0.0.1:80");
    EXPECT_EQ(HexOf(script.Sent(hClient)), HexOf(SOCKS4_GRANTED));
    EXPECT_EQ(script.Sent(hDest), "GET /");
    SLogLine line = LastLine();
    EXPECT_EQ(line.strUser, "me");
    EXPECT_EQ(line.strDest, "127.0.0.1:80");
    EXPECT_EQ(line.strError, "-");
}

TEST_F(ScriptedEngine, Socks4aWithoutANameOrWithAnUnknownNameIsRejected)
{
    SetHostLookup(LookupLocalhost);
    for (const char* pszName : {"", "nowhere.invalid"})
    {
        SOCKET hClient = NewClient();
        script.QueueData(hClient, ByteString({4, 1, 0, 80, 0, 0, 0, 7}) + std::string(1, '\0') + pszName +
                                      std::string(1, '\0'));
        size_t nCreated = script.CreatedSockets().size();
        RunSession(hClient);
        EXPECT_EQ(HexOf(script.Sent(hClient)), HexOf(SOCKS4_REJECTED)) << pszName;
        for (size_t i = nCreated; i < script.CreatedSockets().size(); i++)
            EXPECT_FALSE(script.IsConnected(script.CreatedSockets()[i])) << pszName;
        EXPECT_EQ(LastLine().strError, "Cannot find server or DNS Error") << pszName;
    }
    SetHostLookup(nullptr);
}

static bool HasNagleOff(CScriptedSocketApi& script, SOCKET h)
{
    for (const CScriptedSocketApi::SOption& option : script.Options(h))
    {
        if (option.nLevel == IPPROTO_TCP && option.nName == TCP_NODELAY)
            return true;
    }
    return false;
}

// The client socket inherits the setting from the listening socket (see the listener's test).
TEST_F(ScriptedEngine, DestinationSocketHasNagleOff)
{
    SOCKET hClient = NewClient();
    script.QueueData(hClient, Socks4Connect(80));
    SOCKET hDest = script.NextHandle();
    RunSession(hClient);
    EXPECT_TRUE(HasNagleOff(script, hDest));
}

TEST_F(ScriptedEngine, DestinationSocketThatCannotBeCreatedEndsTheSessionWithoutAReply)
{
    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({5, 1, 0}) + Socks5Request(1, 80));
    script.FailNext(CScriptedSocketApi::CALL_SOCKET, WSAEMFILE);
    RunSession(hClient);
    EXPECT_EQ(HexOf(script.Sent(hClient)), "05 00");
    SLogLine line = LastLine();
    EXPECT_EQ(line.strStatus, "Disconnect");
    EXPECT_EQ(line.strError, "Too many open files (10024)");
}

TEST_F(ScriptedEngine, ClientSilentBeforeTheVersionByteTimesOut)
{
    SOCKET hClient = NewClient();
    script.SetWhenEmpty(hClient, CScriptedSocketApi::EMPTY_TIMEOUT);
    RunSession(hClient);
    EXPECT_EQ(script.Sent(hClient), "");
    SLogLine line = LastLine();
    EXPECT_EQ(line.strVersion, "-");
    EXPECT_EQ(line.strSource, "127.0.0.1:5555");
    EXPECT_EQ(line.strError, "Select error timeout");
}

TEST_F(ScriptedEngine, UdpRelayThatCannotBindIsAServerError)
{
    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({5, 1, 0, 5, 3, 0, 1, 0, 0, 0, 0, 0, 0}));
    script.FailNext(CScriptedSocketApi::CALL_BIND, WSAEADDRINUSE);
    RunSession(hClient);
    EXPECT_EQ(HexOf(script.Sent(hClient)), HexOf(ByteString({5, 0}) + Socks5Failure(1)));
    SLogLine line = LastLine();
    EXPECT_EQ(line.strDest, "(UDP ASSOCIATE)");
    EXPECT_EQ(line.strError, "Server error");
    // Both UDP sockets the relay thread created were closed again.
    for (SOCKET h : script.CreatedSockets())
        EXPECT_TRUE(script.IsClosed(h));
}

// A byte the client sent behind its UDP ASSOCIATE request was read with the request: like a
// byte in the socket, it ends the association at once, though the connection stays open.
TEST_F(ScriptedEngine, ByteBehindAUdpRequestEndsTheAssociation)
{
    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({5, 1, 0, 5, 3, 0, 1, 0, 0, 0, 0, 0, 0, 0x42}));
    script.SetWhenEmpty(hClient, CScriptedSocketApi::EMPTY_BLOCK);
    RunSession(hClient);
    EXPECT_EQ(HexOf(script.Sent(hClient).substr(0, 4)), HexOf(ByteString({5, 0, 5, 0})));
    EXPECT_EQ(LastLine().strDest, "(UDP ASSOCIATE)");
    // Greeting, request and the byte came in one receive; nothing more was read or waited for.
    EXPECT_EQ(script.CallCount(CScriptedSocketApi::CALL_RECV), 1);
}

TEST_F(ScriptedEngine, TunnelPassesWholeBlocksWhenTheSystemTakesThemInParts)
{
    SOCKET hClient = NewClient();
    std::string strData;
    for (int i = 0; i < 100; i++)
        strData += (char)('a' + i % 26);
    script.QueueData(hClient, Socks4Connect(80));
    script.QueueData(hClient, strData);
    SOCKET hDest = script.NextHandle();
    script.SetWhenEmpty(hDest, CScriptedSocketApi::EMPTY_BLOCK);
    script.SetSendLimit(hDest, 7);
    RunSession(hClient);
    EXPECT_EQ(script.Sent(hDest), strData);
    EXPECT_GE(script.SendCalls(hDest).size(), 15u);
}

// Each negotiation message is taken with one receive, however many fields it has; what a client
// sends behind its request is read with it and reaches the destination first, counted both ways.
TEST_F(ScriptedEngine, NegotiationReadsEachMessageOnceAndForwardsWhatFollows)
{
    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({5, 2, 0, 2}));
    script.QueueData(hClient, ByteString({5, 1, 0, 3, 9}) + "localhost" + ByteString({0, 80}) + "early");
    script.QueueData(hClient, "late");
    SOCKET hDest = script.NextHandle();
    script.SetWhenEmpty(hDest, CScriptedSocketApi::EMPTY_BLOCK);
    SetHostLookup(LookupLocalhost);
    uint64_t nClientBefore = ReadTraffic(g_traffic.nTcpClient);
    uint64_t nDestBefore = ReadTraffic(g_traffic.nTcpDest);
    RunSession(hClient);
    SetHostLookup(nullptr);
    EXPECT_EQ(EndpointOf(script.ConnectedTo(hDest)), "127.0.0.1:80");
    EXPECT_EQ(script.Sent(hDest), "earlylate");
    EXPECT_EQ(ReadTraffic(g_traffic.nTcpClient) - nClientBefore, 9u);
    EXPECT_EQ(ReadTraffic(g_traffic.nTcpDest) - nDestBefore, 9u);
    // Greeting, request, "late" and the close: four receives on the client.
    EXPECT_EQ(script.ReceiveSizes(hClient).size(), 4u);
}

// The relay thread alone, with its two sockets scripted: what the destination sends before the
// client has sent anything is dropped, so is another host's datagram, and Windows' report of an unreachable
// port (10054) on either socket costs nothing but that report.
TEST_F(ScriptedEngine, UdpRelayDropsEarlyRepliesAndSurvivesResetReports)
{
    SUdpContext udp;
    udp.bStop = 0;
    udp.hClientUdpSocket = INVALID_SOCKET;
    udp.hDestUdpSocket = INVALID_SOCKET;
    udp.saRelay = Address(0x7F000001, 0);
    udp.saUdpClient = Address(0x7F000001, 0);
    ASSERT_TRUE(udp.hReadyEvent.Create(false));
    ASSERT_TRUE(udp.hDoneEvent.Create(false));
    SOCKET hClientSide = script.NextHandle();
    SOCKET hDestSide = hClientSide + 1;
    script.SetWhenEmpty(hClientSide, CScriptedSocketApi::EMPTY_BLOCK);
    script.SetWhenEmpty(hDestSide, CScriptedSocketApi::EMPTY_BLOCK);
    sockaddr_in saServer = Address(0x7F000001, 53);
    sockaddr_in saClient = Address(0x7F000001, 6000);
    script.QueueDatagram(hDestSide, "early", saServer);
    script.QueueError(hDestSide, WSAECONNRESET);
    script.QueueError(hClientSide, WSAECONNRESET);

    EngineThreadStarting();
    ASSERT_TRUE(SysStartThread(UdpAssociateThreadProc, &udp, SysScaledStack(64 * 1024), nullptr));
    ASSERT_EQ(SysWaitEither(udp.hReadyEvent, udp.hDoneEvent, WAIT_MS), 0);
    EXPECT_TRUE(WaitUntil(
        [&] { return script.PendingSteps(hDestSide) == 0 && script.PendingSteps(hClientSide) == 0; }));

    // Another host is not the client, whatever its port.
    script.QueueDatagram(hClientSide, UdpHeader53("foreign"), Address(0x7F000009, 6000));
    script.QueueDatagram(hClientSide, UdpHeader53("query"), saClient);
    EXPECT_TRUE(WaitUntil([&] { return script.SentDatagrams(hDestSide).size() == 1; }));
    script.QueueDatagram(hDestSide, "answer", saServer);
    EXPECT_TRUE(WaitUntil([&] { return script.SentDatagrams(hClientSide).size() == 1; }));
    // Datagrams queued together go on in their order, however many one wait finds.
    for (const char* psz : {"q1", "q2", "q3"})
        script.QueueDatagram(hClientSide, UdpHeader53(psz), saClient);
    EXPECT_TRUE(WaitUntil([&] { return script.SentDatagrams(hDestSide).size() == 4; }));
    EXPECT_FALSE(udp.hDoneEvent.IsSignalled());

    SysRaiseFlag(&udp.bStop);
    CloseSocketAt(&udp.hClientUdpSocket);
    CloseSocketAt(&udp.hDestUdpSocket);
    ASSERT_TRUE(udp.hDoneEvent.Wait(WAIT_MS));

    std::vector<CScriptedSocketApi::SDatagram> toDest = script.SentDatagrams(hDestSide);
    ASSERT_EQ(toDest.size(), 4u);
    EXPECT_EQ(toDest[0].strData, "query");
    EXPECT_EQ(toDest[1].strData + toDest[2].strData + toDest[3].strData, "q1q2q3");
    EXPECT_EQ(EndpointOf(toDest[0].saAddr), "127.0.0.1:53");
    std::vector<CScriptedSocketApi::SDatagram> toClient = script.SentDatagrams(hClientSide);
    ASSERT_EQ(toClient.size(), 1u);
    EXPECT_EQ(HexOf(toClient[0].strData), HexOf(ByteString({0, 0, 0, 1, 127, 0, 0, 1, 0, 53}) + "answer"));
    EXPECT_EQ(EndpointOf(toClient[0].saAddr), "127.0.0.1:6000");
}

// The listener over a scripted listening socket: a client that reset before it was accepted is
// skipped, an admitted client gets its session, and a failing Accept takes the server down.
TEST_F(ScriptedEngine, ListenerSkipsResetClientsAndReportsAFailedAccept)
{
    g_server.logFile.Close();
    g_settings.addrService = Address(0x7F000001, 0);
    g_settings.bLog = 1;
    g_settings.strLogFolder = folder.GetPath().c_str();

    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({6}));
    SOCKET hListen = script.NextHandle();
    script.SetWhenEmpty(hListen, CScriptedSocketApi::EMPTY_BLOCK);
    script.FailNext(CScriptedSocketApi::CALL_ACCEPT, WSAECONNRESET);
    script.QueueAccept(hListen, hClient, Address(0x7F000001, 5555));

    ASSERT_EQ(StartServer(), FLOW_DONE);
    strLogPath = g_server.logFile.GetFileName().GetString();
    EXPECT_NE(ntohs(g_server.saListen.sin_port), 0);
    EXPECT_TRUE(script.IsListening(hListen));
    EXPECT_TRUE(HasNagleOff(script, hListen)); // for every client socket it accepts
    std::vector<SLogLine> lines =
        WaitLog(strLogPath, [](const SLogLine& l) { return l.strStatus == "Disconnect"; });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].strError, "Socks negotiate error");
    EXPECT_GE(script.CallCount(CScriptedSocketApi::CALL_ACCEPT), 2);

    // The listener's third Accept waits for the next client; closing its socket fails it.
    ASSERT_TRUE(WaitUntil([&] { return script.CallCount(CScriptedSocketApi::CALL_ACCEPT) >= 3; }));
    int nWentDown = TestShell().GetWentDownCount();
    CloseSocketAt(&g_server.hListenSocket);
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            TestShell().WaitForEvents(1);
            return TestShell().GetWentDownCount() > nWentDown;
        }));
    ASSERT_TRUE(WaitUntil([] { return !IsServerRunning(); }));
    SLogLine last = LastLine();
    EXPECT_EQ(last.strStatus, "Server went down");
    EXPECT_EQ(ErrorCondition(g_server.nLastError), COND_ACCEPT);
    // WSAEINTR when the close met the call waiting, WSAENOTSOCK when it came just before.
    EXPECT_TRUE(last.strError == "Interrupted function call (10004)" ||
                last.strError == "Socket operation on non-socket (10038)")
        << last.strError;
}

// A client that always has more to send must not hold back the download: when both sides are
// readable, the destination's block goes to the client in the same pass as the client's block.
TEST_F(ScriptedEngine, TunnelServesTheDestinationWhileTheClientKeepsSending)
{
    const int CHUNKS = 20;
    const int CHUNK = 100;
    SOCKET hClient = NewClient();
    script.QueueData(hClient, Socks4Connect(80));
    script.QueueChunks(hClient, std::string(CHUNKS * CHUNK, 'u'), CHUNK);
    SOCKET hDest = script.NextHandle();
    script.QueueData(hDest, "downstream");
    script.SetWhenEmpty(hDest, CScriptedSocketApi::EMPTY_BLOCK);

    // How much of the upload had reached the destination when the download's block was sent.
    std::atomic<int> nUploadedBeforeDownload(-1);
    script.SetCallHook(
        [&](CScriptedSocketApi::ECall eCall, SOCKET s)
        {
            if (s == hClient && eCall == CScriptedSocketApi::CALL_SEND && !script.Sent(hClient).empty() &&
                nUploadedBeforeDownload < 0)
                nUploadedBeforeDownload = (int)script.Sent(hDest).size();
        });
    RunSession(hClient);
    script.SetCallHook(nullptr);

    EXPECT_EQ(HexOf(script.Sent(hClient)), HexOf(SOCKS4_GRANTED + "downstream"));
    EXPECT_EQ(script.Sent(hDest), std::string(CHUNKS * CHUNK, 'u'));
    EXPECT_GE(nUploadedBeforeDownload, 0);
    EXPECT_LE(nUploadedBeforeDownload, CHUNK);
}

// A tunnel moving small blocks keeps its small buffer; the first receive that fills it switches
// the tunnel to full-size blocks.
TEST_F(ScriptedEngine, TunnelBufferGrowsWhenASmallBlockFills)
{
    SOCKET hClient = NewClient();
    script.QueueData(hClient, Socks4Connect(80));
    const std::string strSmall = "hello";
    const std::string strFull(2048, 'f');
    const std::string strLarge(3000, 'L');
    script.QueueData(hClient, strSmall);
    script.QueueData(hClient, strFull);
    script.QueueData(hClient, strLarge);
    SOCKET hDest = script.NextHandle();
    script.SetWhenEmpty(hDest, CScriptedSocketApi::EMPTY_BLOCK);
    RunSession(hClient);

    EXPECT_EQ(script.Sent(hDest), strSmall + strFull + strLarge);
    std::vector<int> sizes = script.ReceiveSizes(hClient);
    ASSERT_GE(sizes.size(), 4u);
    // The relay's receives: "hello", the block that filled the small buffer, the rest, the end.
    std::vector<int> relayed(sizes.end() - 4, sizes.end());
    EXPECT_EQ(relayed, std::vector<int>({2048, 2048, 65535, 65535}));
}

// Every reply leaves in one send, byte for byte what the protocol gives: the method selection,
// the sub-negotiation's status and the success reply.
TEST_F(ScriptedEngine, EveryReplyIsOneSend)
{
    g_settings.bSocks5Auth = 1;
    g_settings.strSocks5Userid = "alice";
    g_settings.strSocks5Password = "secret";
    SOCKET hClient = NewClient();
    script.QueueData(hClient, ByteString({5, 1, 2}) + Socks5Auth("alice", "secret") + Socks5Request(1, 80));
    SOCKET hDest = script.NextHandle();
    RunSession(hClient);
    g_settings.bSocks5Auth = 0;
    EXPECT_EQ(script.SendCalls(hClient),
              std::vector<std::string>(
                  {ByteString({5, 2}), ByteString({1, 0}), Socks5Success(Address(0x7F000001, 1080))}));
    EXPECT_TRUE(script.IsClosed(hDest));
}

// A session thread is reused for the next client: an error left on the thread by an earlier
// call must not become the text of a later time-out.
TEST_F(ScriptedEngine, TimeOutDoesNotReportAnEarlierSocketError)
{
    SOCKET hClient = NewClient();
    script.SetWhenEmpty(hClient, CScriptedSocketApi::EMPTY_TIMEOUT);
    SysSetSocketError(WSAECONNRESET);
    RunSession(hClient);
    EXPECT_EQ(LastLine().strError, "Select error timeout");
}

// Bytes that went out are counted even when a later part of the same block fails.
TEST_F(ScriptedEngine, PartOfABlockThatWentOutIsCountedWhenTheRestFails)
{
    SOCKET hClient = NewClient();
    script.QueueData(hClient, Socks4Connect(80));
    script.QueueData(hClient, std::string(100, 'x'));
    SOCKET hDest = script.NextHandle();
    script.SetWhenEmpty(hDest, CScriptedSocketApi::EMPTY_BLOCK);
    script.SetSendLimit(hDest, 7);
    std::atomic<int> nSends(0);
    script.SetCallHook(
        [&](CScriptedSocketApi::ECall eCall, SOCKET s)
        {
            if (s == hDest && eCall == CScriptedSocketApi::CALL_SEND && ++nSends == 3)
                script.FailNext(CScriptedSocketApi::CALL_SEND, WSAECONNRESET, hDest);
        });
    uint64_t nBefore = ReadTraffic(g_traffic.nTcpDest);
    RunSession(hClient);
    script.SetCallHook(nullptr);
    EXPECT_EQ(script.Sent(hDest).size(), 14u);
    EXPECT_EQ(ReadTraffic(g_traffic.nTcpDest) - nBefore, 14u);
}

// A send that finds no room waits for room again (with the send time-out) and goes on with the
// rest, instead of blocking in the system until the whole block is queued.
TEST_F(ScriptedEngine, SendThatFindsNoRoomWaitsAndGoesOn)
{
    SOCKET hClient = NewClient();
    script.QueueData(hClient, Socks4Connect(80));
    script.QueueData(hClient, "payload");
    SOCKET hDest = script.NextHandle();
    script.SetWhenEmpty(hDest, CScriptedSocketApi::EMPTY_BLOCK);
    script.FailNext(CScriptedSocketApi::CALL_SEND, WSAEWOULDBLOCK, hDest);
    RunSession(hClient);
    EXPECT_EQ(script.Sent(hDest), "payload");
}

// Without memory, a session ends alone and says so; the record still leaves the table.
TEST_F(ScriptedEngine, SessionWithoutMemoryEndsWithServerError)
{
    if (!CanFailAllocations())
        GTEST_SKIP() << "the sanitizers' allocator cannot be made to fail";
    SOCKET hClient = NewClient();
    script.QueueData(hClient, Socks4Connect(80));
    SCSTask* pTask = NewSessionRecord(hClient);
    pTask->dwSessionId = 0x7F000000u;
    {
        CScopedLock lock(g_csSessionTable);
        ASSERT_TRUE(g_sessionTable.Insert(pTask));
    }
    EngineThreadStarting();
    FailNextAllocationsOnThisThread(1); // the Connect line's text
    SessionThreadProc(pTask);
    FailNextAllocationsOnThisThread(0);
    EXPECT_EQ(GetSessionCount(), 0);
    EXPECT_TRUE(script.IsClosed(hClient));
    EXPECT_EQ(LastLine().strError, "Server error");
}

// Accept failures that any client can cause (out of descriptors or buffers, a queued connection
// that died) leave the listener serving, with one log line per burst.
TEST_F(ScriptedEngine, ListenerSurvivesAcceptFailuresAndLogsEachBurstOnce)
{
    g_server.logFile.Close();
    g_settings.addrService = Address(0x7F000001, 0);
    g_settings.bLog = 1;
    g_settings.strLogFolder = folder.GetPath().c_str();

    SOCKET hFirst = NewClient();
    script.QueueData(hFirst, ByteString({6}));
    SOCKET hSecond = NewClient();
    script.QueueData(hSecond, ByteString({6}));
    SOCKET hListen = script.NextHandle();
    script.SetWhenEmpty(hListen, CScriptedSocketApi::EMPTY_BLOCK);
    for (int nError : {WSAEMFILE, WSAEMFILE, WSAENOBUFS})
        script.FailNext(CScriptedSocketApi::CALL_ACCEPT, nError);
    script.QueueAccept(hListen, hFirst, Address(0x7F000001, 5555));
    ASSERT_EQ(StartServer(), FLOW_DONE);
    strLogPath = g_server.logFile.GetFileName().GetString();
    ASSERT_EQ(WaitLog(strLogPath, [](const SLogLine& l) { return l.strStatus == "Disconnect"; }).size(), 1u);
    script.FailNext(CScriptedSocketApi::CALL_ACCEPT, WSAEHOSTUNREACH);
    script.QueueAccept(hListen, hSecond, Address(0x7F000001, 5556));
    ASSERT_EQ(WaitLog(
                  strLogPath, [](const SLogLine& l) { return l.strStatus == "Disconnect"; }, 2)
                  .size(),
              2u);
    // The listener logs the second burst after it has handed the second client over, so the
    // session's Disconnect line may come first: the stop waits for both failure lines.
    auto isFailure = [](const SLogLine& l) { return l.strStatus == "Accept failed, still listening"; };
    WaitLog(strLogPath, isFailure, 2);
    EXPECT_TRUE(IsServerRunning());
    EXPECT_EQ(StopServer(), FLOW_DONE);

    std::vector<std::string> failures;
    for (const SLogLine& line : ReadLog(strLogPath))
        if (isFailure(line))
            failures.push_back(line.strError);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_NE(failures[0].find("(10024)"), std::string::npos) << failures[0];
    EXPECT_NE(failures[1].find("(10065)"), std::string::npos) << failures[1];
}

// ErrorTextTest.cpp: the error code layout and the texts of every table.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "net/BlockingSocket.h"
#include "net/ErrorCode.h"
#include "net/ErrorText.h"
#include "platform/Platform.h"

namespace
{

std::string Text(uint32_t nCode)
{
    return ErrorText(nCode).GetString();
}

std::string SocketText(uint32_t nCode)
{
    return SocketErrorText(nCode).GetString();
}

} // namespace

TEST(ErrorCode, HoldsTheWindowsSocketsErrorHighAndTheConditionLow)
{
    EXPECT_EQ(MakeErrorCode(10061, 2), (10061u << 16) | 2u);
    EXPECT_EQ(MakeErrorCode(0, 0), 0u);
    EXPECT_EQ(MakeErrorCode(0, 22), 22u);
    EXPECT_EQ(MakeErrorCode(0xFFFF, 0xFFFF), 0xFFFFFFFFu);
    uint32_t nCode = MakeErrorCode(11004, 9);
    EXPECT_EQ(ErrorWsa(nCode), 11004);
    EXPECT_EQ(ErrorCondition(nCode), 9);
    // Out-of-range halves never spill into each other.
    EXPECT_EQ(ErrorCondition(MakeErrorCode(1, 0x10003)), 3);
    EXPECT_EQ(ErrorWsa(MakeErrorCode(0x12345, 1)), 0x2345);
}

TEST(ErrorText, KnownWindowsSocketsErrorShowsItsTextAndNumberNotTheCondition)
{
    EXPECT_EQ(Text(MakeErrorCode(10061, 2)), "Connection refused (10061)");
    EXPECT_EQ(Text(MakeErrorCode(10038, 12)), "Socket operation on non-socket (10038)");
    EXPECT_EQ(Text(MakeErrorCode(10048, 10)), "Address already in use (10048)");
    // The error wins over an engine condition too.
    EXPECT_EQ(Text(MakeErrorCode(10054, 17)), "Connection reset by peer (10054)");
    // First and last rows of the search order, and the texts kept as they are spelled.
    EXPECT_EQ(Text(MakeErrorCode(10013, 1)), "Permission denied (10013)");
    EXPECT_EQ(Text(MakeErrorCode(10101, 8)), "Graceful shutdown in progress (10101)");
    EXPECT_EQ(Text(MakeErrorCode(10043, 1)), "Protocal not supported (10043)");
    EXPECT_EQ(Text(MakeErrorCode(11002, 9)), "Non-authoritative host not found (11002)");
    EXPECT_EQ(Text(MakeErrorCode(10092, 0)), "WINSOCK.DLL version out of range (10092)");
}

TEST(ErrorText, EveryWindowsSocketsErrorTheLayerReportsHasATextOfItsOwn)
{
    // The Windows Sockets errors a socket call of either backend can end with (the platform's
    // names, not the table's rows).
    const int codes[] = {
        WSAEINTR,          WSAEACCES,          WSAEFAULT,       WSAEINVAL,          WSAEMFILE,
        WSAEWOULDBLOCK,    WSAEINPROGRESS,     WSAEALREADY,     WSAENOTSOCK,        WSAEDESTADDRREQ,
        WSAEMSGSIZE,       WSAEPROTOTYPE,      WSAENOPROTOOPT,  WSAEPROTONOSUPPORT, WSAESOCKTNOSUPPORT,
        WSAEOPNOTSUPP,     WSAEAFNOSUPPORT,    WSAEADDRINUSE,   WSAEADDRNOTAVAIL,   WSAENETDOWN,
        WSAENETUNREACH,    WSAENETRESET,       WSAECONNABORTED, WSAECONNRESET,      WSAENOBUFS,
        WSAEISCONN,        WSAENOTCONN,        WSAESHUTDOWN,    WSAETIMEDOUT,       WSAECONNREFUSED,
        WSAEHOSTDOWN,      WSAEHOSTUNREACH,    WSAEPROCLIM,     WSASYSNOTREADY,     WSAVERNOTSUPPORTED,
        WSANOTINITIALISED, WSAEDISCON,         WSAHOST_NOT_FOUND, WSATRY_AGAIN,     WSANO_RECOVERY,
        WSANO_DATA,
    };
    EXPECT_EQ(sizeof(codes) / sizeof(codes[0]), 41u);
    std::set<std::string> texts;
    for (int nWsa : codes)
    {
        SCOPED_TRACE(nWsa);
        const std::string strText = SocketText(MakeErrorCode(nWsa, 6));
        const std::string strNumber = " (" + std::to_string(nWsa) + ")";
        ASSERT_GT(strText.size(), strNumber.size());
        EXPECT_EQ(strText.substr(strText.size() - strNumber.size()), strNumber) << strText;
        EXPECT_EQ(strText.find("Socket error:"), std::string::npos) << "no text of its own: " << strText;
        // The same text whatever the condition beside the error.
        EXPECT_EQ(SocketText(MakeErrorCode(nWsa, 2)), strText);
        texts.insert(strText.substr(0, strText.size() - strNumber.size()));
    }
    EXPECT_EQ(texts.size(), sizeof(codes) / sizeof(codes[0])) << "two errors share a text";

    // A few rows as the Windows Sockets error list describes them.
    EXPECT_EQ(SocketText(MakeErrorCode(WSAEWOULDBLOCK, 6)), "Resource temporarily unavailable (10035)");
    EXPECT_EQ(SocketText(MakeErrorCode(WSAEMSGSIZE, 6)), "Message too long (10040)");
    EXPECT_EQ(SocketText(MakeErrorCode(WSAENETUNREACH, 6)), "Network is unreachable (10051)");
    EXPECT_EQ(SocketText(MakeErrorCode(WSAENOTCONN, 6)), "Socket is not connected (10057)");
    EXPECT_EQ(SocketText(MakeErrorCode(WSAETIMEDOUT, 6)), "Connection timed out (10060)");
    EXPECT_EQ(SocketText(MakeErrorCode(WSAHOST_NOT_FOUND, 6)), "Host not found (11001)");
}

TEST(ErrorText, ConditionTextWhenTheWindowsSocketsHalfIsUnknownOrZero)
{
    const char* texts[] = {
        "Create socket error",
        "Connect error",
        "Select error timeout",
        "Select error",
        "tcp_send_0",
        "Send error",
        "Connection unexpectedly closed",
        "Receive error",
        "Cannot find server or DNS Error",
        "Bind error",
        "Listen error",
        "Accept error",
        "Get socket name error",
        "Get peer name error",
        "Enable linger error",
    };
    for (int nCondition = 1; nCondition <= 15; nCondition++)
    {
        EXPECT_EQ(SocketText(MakeErrorCode(0, nCondition)), texts[nCondition - 1]) << nCondition;
        EXPECT_EQ(Text(MakeErrorCode(0, nCondition)), texts[nCondition - 1]) << nCondition;
    }
    // An error number outside the table leaves the condition to name the failure.
    EXPECT_EQ(Text(MakeErrorCode(995, 12)), "Accept error");
    EXPECT_EQ(Text(MakeErrorCode(0, 7)), "Connection unexpectedly closed");
    EXPECT_EQ(Text(MakeErrorCode(0, 3)), "Select error timeout");
}

TEST(ErrorText, EngineConditionsOnlyInTheProgramsTextAndOnlyWithoutASocketError)
{
    const char* texts[] = {
        "Socks negotiate error",
        "Socks negotiate auth. error",
        "Method not allowed",
        "Operation not allowed by ruleset",
        "Socks version not allowed",
        "Addresstype not supported",
        "Server error",
    };
    for (int nCondition = 16; nCondition <= 22; nCondition++)
        EXPECT_EQ(Text(MakeErrorCode(0, nCondition)), texts[nCondition - 16]) << nCondition;
    EXPECT_EQ(SocketText(MakeErrorCode(0, 17)), "Socket error: 17,0");
    // With a socket error beside it, the engine table is not searched.
    EXPECT_EQ(Text(MakeErrorCode(12345, 17)), "Socket error: 17,12345");
}

TEST(ErrorText, UnknownCodesFallBackToBothNumbers)
{
    EXPECT_EQ(Text(MakeErrorCode(12345, 99)), "Socket error: 99,12345");
    EXPECT_EQ(SocketText(MakeErrorCode(12345, 99)), "Socket error: 99,12345");
    EXPECT_EQ(Text(0), "Socket error: 0,0");
    EXPECT_EQ(Text(MakeErrorCode(0, 23)), "Socket error: 23,0");
    EXPECT_EQ(Text(MakeErrorCode(65535, 65535)), "Socket error: 65535,65535");
}

TEST(ErrorText, WritesIntoAGivenStringReplacingItsText)
{
    CCArray str("previous text that is longer");
    ErrorText(MakeErrorCode(0, 19), str);
    EXPECT_STREQ(str.GetString(), "Operation not allowed by ruleset");
    SocketErrorText(MakeErrorCode(10060, 8), str);
    EXPECT_STREQ(str.GetString(), "Connection timed out (10060)");
}

TEST(ErrorCode, TransientErrorsAreLostOrTimedOutConnections)
{
    EXPECT_TRUE(CBlockingSocket::IsTransientError(MakeErrorCode(0, COND_SELECT_TIMEOUT)));
    EXPECT_TRUE(CBlockingSocket::IsTransientError(MakeErrorCode(0, COND_SEND_0)));
    EXPECT_TRUE(CBlockingSocket::IsTransientError(MakeErrorCode(0, COND_CONNECTION_CLOSED)));
    for (int nWsa : {10052, 10053, 10054, 10060, 10101, 11002})
        EXPECT_TRUE(CBlockingSocket::IsTransientError(MakeErrorCode(nWsa, COND_RECEIVE))) << nWsa;
    EXPECT_FALSE(CBlockingSocket::IsTransientError(MakeErrorCode(10061, COND_CONNECT)));
    EXPECT_FALSE(CBlockingSocket::IsTransientError(MakeErrorCode(11001, COND_RESOLVE)));
    EXPECT_FALSE(CBlockingSocket::IsTransientError(MakeErrorCode(0, COND_RECEIVE)));
    EXPECT_FALSE(CBlockingSocket::IsTransientError(MakeErrorCode(0, COND_SELECT)));
    EXPECT_FALSE(CBlockingSocket::IsTransientError(0));
}

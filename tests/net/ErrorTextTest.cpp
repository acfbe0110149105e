// ErrorTextTest.cpp: the error code layout and the texts of every table.
#include <gtest/gtest.h>

#include "net/BlockingSocket.h"
#include "net/ErrorCode.h"
#include "net/ErrorText.h"

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

TEST(ErrorText, EveryWindowsSocketsRowHasItsText)
{
    const struct
    {
        int nWsa;
        const char* pszText;
    } rows[] = {
        {10013, "Permission denied"},
        {10048, "Address already in use"},
        {10049, "Cannot assign requested address"},
        {10047, "Address family not supported by protocol family"},
        {10037, "Operation already in progress"},
        {10053, "Software caused connection abort"},
        {10061, "Connection refused"},
        {10054, "Connection reset by peer"},
        {10039, "Destination address required"},
        {10014, "Bad address"},
        {10064, "Host is down"},
        {10065, "No route to host"},
        {10036, "Operation now in progress"},
        {10004, "Interrupted function call"},
        {10022, "Invalid argument"},
        {10056, "Socket is already connected"},
        {10024, "Too many open files"},
        {10040, "Message too long"},
        {10050, "Network is down"},
        {10052, "Network dropped connection by reset"},
        {10051, "Network is unreachable"},
        {10055, "No buffer space available"},
        {10042, "Bad protocol option"},
        {10057, "Socket is not connected"},
        {10038, "Socket operation on non-socket"},
        {10045, "Operation not supported"},
        {10067, "Too many processes"},
        {10043, "Protocal not supported"},
        {10041, "Protocol wrong type for socket"},
        {10058, "Cannot send after socket shutdown"},
        {10044, "Socket type not supported"},
        {10060, "Connection timed out"},
        {10035, "Resource temporarily unavailable"},
        {11001, "Host not found"},
        {10093, "Successful WSAStartup not yet performed"},
        {11004, "Valid name, no data record of requested type"},
        {11003, "This is a non-recoverable error"},
        {10091, "Network subsystem is unavailable"},
        {11002, "Non-authoritative host not found"},
        {10092, "WINSOCK.DLL version out of range"},
        {10101, "Graceful shutdown in progress"},
    };
    EXPECT_EQ(sizeof(rows) / sizeof(rows[0]), 41u);
    for (const auto& row : rows)
    {
        std::string strExpected = std::string(row.pszText) + " (" + std::to_string(row.nWsa) + ")";
        EXPECT_EQ(SocketText(MakeErrorCode(row.nWsa, 6)), strExpected);
    }
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

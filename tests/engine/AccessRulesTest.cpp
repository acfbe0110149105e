// AccessRulesTest.cpp: address ranges and their replacement, connection limit, versions, SOCKS5
// method choice and credentials.
#include "engine/AccessRules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/SessionTable.h"
#include "net/ErrorCode.h"

namespace
{
uint32_t HostAddr(const char* pszDotted)
{
    return ntohl(inet_addr(pszDotted));
}

IP_RANGE2 Range(const char* pszFirst, const char* pszLast)
{
    IP_RANGE2 r;
    r.dwFirst = HostAddr(pszFirst);
    r.dwLast = HostAddr(pszLast);
    return r;
}

// The credentials as counted texts, the way the sub-negotiation hands them over.
unsigned char Check(const std::string& strUser, const std::string& strPassword)
{
    return CheckCredentials(strUser.data(), (int)strUser.size(), strPassword.data(), (int)strPassword.size());
}

bool Allowed(const char* pszDotted)
{
    return IsAddressAllowed(inet_addr(pszDotted));
}

// The rules read the live settings: each test changes them and gets the originals back.
class AccessRulesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bIpFilter = g_settings.bIpFilter;
        bSocks4 = g_settings.bSocks4;
        bSocks5 = g_settings.bSocks5;
        bSocks5Auth = g_settings.bSocks5Auth;
        strUser = g_settings.strSocks5Userid;
        strPassword = g_settings.strSocks5Password;
        nLimit = nConnectionLimit;
        for (int i = 0; i < g_settings.arrIpRanges.GetSize(); i++)
            ranges.push_back(*g_settings.arrIpRanges.pData[i]);
    }
    void TearDown() override
    {
        g_settings.bIpFilter = bIpFilter;
        g_settings.bSocks4 = bSocks4;
        g_settings.bSocks5 = bSocks5;
        g_settings.bSocks5Auth = bSocks5Auth;
        g_settings.strSocks5Userid = strUser;
        g_settings.strSocks5Password = strPassword;
        nConnectionLimit = nLimit;
        ReplaceIpRanges(ranges.data(), (int)ranges.size());
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.RemoveAll();
    }

    void SetRanges(std::initializer_list<IP_RANGE2> list)
    {
        std::vector<IP_RANGE2> v(list);
        ReplaceIpRanges(v.data(), (int)v.size());
    }

    void SetCredentials(const char* pszUser, const char* pszPassword)
    {
        g_settings.strSocks5Userid = pszUser;
        g_settings.strSocks5Password = pszPassword;
    }

private:
    int32_t bIpFilter, bSocks4, bSocks5, bSocks5Auth, nLimit;
    CCArray strUser, strPassword;
    std::vector<IP_RANGE2> ranges;
};
}  // namespace

TEST_F(AccessRulesTest, RangesCompareNumericallyInHostOrder)
{
    g_settings.bIpFilter = 1;
    SetRanges({Range("10.0.0.0", "10.255.255.255")});
    EXPECT_TRUE(Allowed("10.1.2.3"));
    EXPECT_TRUE(Allowed("10.0.0.0"));
    EXPECT_TRUE(Allowed("10.255.255.255"));
    EXPECT_FALSE(Allowed("11.0.0.0"));
    EXPECT_FALSE(Allowed("9.255.255.255"));
    // Byte-swapped comparison would admit this one (3.2.1.10 reversed is 10.1.2.3).
    EXPECT_FALSE(Allowed("3.2.1.10"));
}

TEST_F(AccessRulesTest, SingleAddressRangeAdmitsExactlyThatAddress)
{
    g_settings.bIpFilter = 1;
    SetRanges({Range("192.168.0.1", "192.168.0.1")});
    EXPECT_TRUE(Allowed("192.168.0.1"));
    EXPECT_FALSE(Allowed("192.168.0.0"));
    EXPECT_FALSE(Allowed("192.168.0.2"));
}

TEST_F(AccessRulesTest, AnyRangeOfSeveralAdmitsWhateverTheirOrder)
{
    g_settings.bIpFilter = 1;
    SetRanges({Range("172.16.0.0", "172.31.255.255"), Range("127.0.0.1", "127.0.0.1"),
               Range("172.20.0.0", "172.20.0.255")});
    EXPECT_TRUE(Allowed("127.0.0.1"));
    EXPECT_TRUE(Allowed("172.20.0.9"));
    EXPECT_TRUE(Allowed("172.31.0.1"));
    EXPECT_FALSE(Allowed("127.0.0.2"));
    EXPECT_FALSE(Allowed("172.32.0.0"));
    ASSERT_EQ(3, g_settings.arrIpRanges.GetSize());
    EXPECT_EQ(HostAddr("127.0.0.1"), g_settings.arrIpRanges.pData[1]->dwFirst);
}

TEST_F(AccessRulesTest, FilterOffAdmitsAllAndFilterOnWithEmptyListRefusesAll)
{
    SetRanges({});
    g_settings.bIpFilter = 0;
    EXPECT_TRUE(Allowed("8.8.8.8"));
    EXPECT_TRUE(Allowed("127.0.0.1"));
    g_settings.bIpFilter = 1;
    EXPECT_FALSE(Allowed("8.8.8.8"));
    EXPECT_FALSE(Allowed("127.0.0.1"));
    EXPECT_FALSE(Allowed("0.0.0.0"));
}

// A check that arrives while the list is being replaced waits at the gate until it is raised.
TEST_F(AccessRulesTest, CheckWaitsWhileTheGateIsDown)
{
    g_settings.bIpFilter = 1;
    SetRanges({Range("127.0.0.1", "127.0.0.1")});
    IpRangesGate().Reset();
    std::atomic<int> nVerdict(-1);
    CManualEvent evDone;
    ASSERT_TRUE(evDone.Create(false));
    std::thread checker([&] {
        nVerdict.store(Allowed("127.0.0.1") ? 1 : 0);
        evDone.Set();
    });
    EXPECT_FALSE(evDone.Wait(100));
    EXPECT_EQ(-1, nVerdict.load());
    IpRangesGate().Set();
    EXPECT_TRUE(evDone.Wait(10000));
    checker.join();
    EXPECT_EQ(1, nVerdict.load());
}

// One thread keeps replacing the list while others check addresses. Every verdict must be one
// that the old or the new list gives as a whole; a half-built, emptied or freed list would refuse
// the address both lists admit. Run natively under ThreadSanitizer and AddressSanitizer as well.
TEST_F(AccessRulesTest, ReplacingTheListWhileCheckingGivesOldOrNewVerdictsOnly)
{
    // Both lists admit 10.9.9.9 only through their last range; 10.1.0.5 only list A admits,
    // 10.2.0.5 only list B, and neither admits 10.3.0.5.
    std::vector<IP_RANGE2> listA, listB;
    for (int i = 0; i < 62; i++)  // long lists: a walk takes a while
    {
        listA.push_back(Range("192.168.1.0", "192.168.1.255"));
        listB.push_back(Range("192.168.2.0", "192.168.2.255"));
    }
    listA.push_back(Range("10.1.0.0", "10.1.0.255"));
    listB.push_back(Range("10.2.0.0", "10.2.0.255"));
    listA.push_back(Range("10.9.9.9", "10.9.9.9"));
    listB.push_back(Range("10.9.0.0", "10.9.255.255"));

    g_settings.bIpFilter = 1;
    ReplaceIpRanges(listA.data(), (int)listA.size());

    const int nReplacements = 3000;
    const int nMaxReplacements = 2000000;  // even: list A goes in last
    const int nCheckers = 3;
    std::atomic<bool> bDone(false);
    std::atomic<int> nWrong(0), nChecks(0), nSawA(0), nSawB(0);
    std::vector<std::thread> checkers;
    for (int t = 0; t < nCheckers; t++)
    {
        checkers.emplace_back([&] {
            while (!bDone.load())
            {
                bool bBoth = Allowed("10.9.9.9");
                bool bOnlyA = Allowed("10.1.0.5");
                bool bOnlyB = Allowed("10.2.0.5");
                bool bNeither = Allowed("10.3.0.5");
                // Each call may meet another list; only the addresses both lists agree on
                // have one right verdict.
                if (!bBoth || bNeither)
                    nWrong.fetch_add(1);
                if (bOnlyA)
                    nSawA.fetch_add(1);
                if (bOnlyB)
                    nSawB.fetch_add(1);
                nChecks.fetch_add(1);
            }
        });
    }
    // At least nReplacements, and on until the checkers have seen both lists (bounded).
    for (int i = 0; i < nMaxReplacements; i++)
    {
        const std::vector<IP_RANGE2>& list = (i % 2) ? listA : listB;
        ReplaceIpRanges(list.data(), (int)list.size());
        if (i >= nReplacements && i % 2 == 1 && nSawA.load() > 0 && nSawB.load() > 0)
            break;
    }
    bDone.store(true);
    for (auto& th : checkers)
        th.join();

    EXPECT_EQ(0, nWrong.load());
    EXPECT_GT(nChecks.load(), 0);
    EXPECT_GT(nSawA.load(), 0);
    EXPECT_GT(nSawB.load(), 0);
    EXPECT_TRUE(IpRangesGate().IsSignalled());
    // The last replacement installed list A, whole.
    ASSERT_EQ((int)listA.size(), g_settings.arrIpRanges.GetSize());
    EXPECT_TRUE(Allowed("10.1.0.5"));
    EXPECT_FALSE(Allowed("10.2.0.5"));
}

TEST_F(AccessRulesTest, ReplacingCredentialsWhileCheckingGivesOldOrNewVerdictsOnly)
{
    // The pairs differ in length, so each replacement gives the strings new buffers: a check that
    // read the old ones without the lock would read freed memory (AddressSanitizer) or race
    // (ThreadSanitizer).
    const char* const apszUser[2] = {"alice", "bartholomew-the-second"};
    const char* const apszPassword[2] = {"pw1", "a-much-longer-password-than-the-first"};
    ReplaceCredentials(apszUser[0], apszPassword[0]);

    std::atomic<bool> bDone(false);
    std::atomic<int> nWrong(0), nSaw0(0), nSaw1(0);
    std::thread checker([&] {
        while (!bDone.load())
        {
            bool b0 = Check(apszUser[0], apszPassword[0]) == 0;
            bool b1 = Check(apszUser[1], apszPassword[1]) == 0;
            // A user of one pair with the password of the other is never accepted.
            if (Check(apszUser[0], apszPassword[1]) == 0)
                nWrong.fetch_add(1);
            nSaw0.fetch_add(b0 ? 1 : 0);
            nSaw1.fetch_add(b1 ? 1 : 0);
        }
    });
    // Bounded by time, not by a count: a lock that the replacing thread takes again at once may
    // starve the checker for a long run of replacements on a busy machine. Ends with pair 0.
    uint64_t tDeadline = SysTicksMs() + 20000;
    for (int i = 1;; i++)
    {
        ReplaceCredentials(apszUser[i % 2], apszPassword[i % 2]);
        if (i >= 2000 && nSaw0.load() > 0 && nSaw1.load() > 0)
            break;
        if (SysTicksMs() > tDeadline)
            break;
        if (i % 64 == 0)
            std::this_thread::yield();
    }
    ReplaceCredentials(apszUser[0], apszPassword[0]);
    bDone.store(true);
    checker.join();

    EXPECT_EQ(0, nWrong.load());
    EXPECT_GT(nSaw0.load(), 0);
    EXPECT_GT(nSaw1.load(), 0);
    EXPECT_STREQ(apszUser[0], g_settings.strSocks5Userid.GetString());
    EXPECT_STREQ(apszPassword[0], g_settings.strSocks5Password.GetString());
}

TEST_F(AccessRulesTest, ConnectionLimitCountsTheSessionsAlreadyInTheTable)
{
    nConnectionLimit = 5;
    EXPECT_FALSE(IsConnectionLimitReached());
    {
        CScopedLock lock(g_csSessionTable);
        for (uint32_t id = 1; id <= 4; id++)
        {
            SCSTask* pTask = NewSessionRecord(INVALID_SOCKET);
            pTask->dwSessionId = id;
            g_sessionTable.Insert(pTask);
        }
    }
    EXPECT_FALSE(IsConnectionLimitReached());
    {
        CScopedLock lock(g_csSessionTable);
        SCSTask* pTask = NewSessionRecord(INVALID_SOCKET);
        pTask->dwSessionId = 5;
        g_sessionTable.Insert(pTask);
    }
    EXPECT_TRUE(IsConnectionLimitReached());  // 5 sessions, limit 5: the sixth is refused
    nConnectionLimit = 6;
    EXPECT_FALSE(IsConnectionLimitReached());
    nConnectionLimit = 5;
    {
        CScopedLock lock(g_csSessionTable);
        g_sessionTable.Remove(3);
    }
    EXPECT_FALSE(IsConnectionLimitReached());  // one ended: the next client is admitted
    nConnectionLimit = 1;
    EXPECT_TRUE(IsConnectionLimitReached());
}

TEST_F(AccessRulesTest, VersionSwitchesAndUnknownVersionBytes)
{
    g_settings.bSocks4 = 1;
    g_settings.bSocks5 = 0;
    EXPECT_TRUE(IsVersionAllowed(4));
    EXPECT_FALSE(IsVersionAllowed(5));
    g_settings.bSocks4 = 0;
    g_settings.bSocks5 = 7;  // any nonzero value is on
    EXPECT_FALSE(IsVersionAllowed(4));
    EXPECT_TRUE(IsVersionAllowed(5));

    for (int nByte : {0, 1, 3, 6, 0x45, 0xFF})
    {
        try
        {
            IsVersionAllowed(nByte);
            ADD_FAILURE() << "version byte " << nByte << " did not throw";
        }
        catch (uint32_t nError)
        {
            EXPECT_EQ(COND_SOCKS_NEGOTIATE, ErrorCondition(nError)) << nByte;
            EXPECT_EQ(0, ErrorWsa(nError)) << nByte;
        }
    }
}

TEST_F(AccessRulesTest, MethodChoiceTakesOnlyTheWantedMethod)
{
    const unsigned char both[] = {0x00, 0x02};
    const unsigned char bothReversed[] = {0x02, 0x01, 0x00};
    const unsigned char noneOnly[] = {0x00};
    const unsigned char userPassOnly[] = {0x02};
    const unsigned char others[] = {0x01, 0x03, 0x80, 0xFF};

    g_settings.bSocks5Auth = 0;
    EXPECT_EQ(0x00, ChooseMethod(both, 2));
    EXPECT_EQ(0x00, ChooseMethod(bothReversed, 3));
    EXPECT_EQ(0x00, ChooseMethod(noneOnly, 1));
    EXPECT_EQ(0xFF, ChooseMethod(userPassOnly, 1));
    EXPECT_EQ(0xFF, ChooseMethod(others, 4));
    EXPECT_EQ(0xFF, ChooseMethod(both, 0));  // a count of 0 offers nothing

    g_settings.bSocks5Auth = 1;
    EXPECT_EQ(0x02, ChooseMethod(both, 2));
    EXPECT_EQ(0x02, ChooseMethod(bothReversed, 3));
    EXPECT_EQ(0xFF, ChooseMethod(noneOnly, 1));
    EXPECT_EQ(0x02, ChooseMethod(userPassOnly, 1));
    EXPECT_EQ(0xFF, ChooseMethod(others, 4));
    EXPECT_EQ(0xFF, ChooseMethod(userPassOnly, 0));
    EXPECT_EQ(0xFF, ChooseMethod(both, 1));  // bytes past the count are not offered
}

TEST_F(AccessRulesTest, UserNameIgnoresAsciiCaseAndPasswordMustMatchExactly)
{
    SetCredentials("Alice_01", "s3cret!X");
    EXPECT_EQ(0, Check("Alice_01", "s3cret!X"));
    EXPECT_EQ(0, Check("aLICE_01", "s3cret!X"));
    EXPECT_EQ(0, Check("ALICE_01", "s3cret!X"));
    EXPECT_EQ(1, Check("Alice_01", "S3CRET!X"));
    EXPECT_EQ(1, Check("Alice_01", "s3cret!x"));
    EXPECT_EQ(1, Check("Alice_0", "s3cret!X"));
    EXPECT_EQ(1, Check("Alice_011", "s3cret!X"));
    EXPECT_EQ(1, Check("Alice_01", "s3cret!"));
    EXPECT_EQ(1, Check("Alice_01", "s3cret!XY"));
    // Only ASCII letters fold: '_' (0x5F) and DEL (0x7F) differ in the case bit alone.
    EXPECT_EQ(1, Check("Alice\x7f" "01", "s3cret!X"));

    // Bytes above 0x7F are compared as they are.
    SetCredentials("J\xd6rg", "pw");
    EXPECT_EQ(0, Check("j\xd6rg", "pw"));
    EXPECT_EQ(1, Check("j\xf6rg", "pw"));
}

TEST_F(AccessRulesTest, EmptyUserOrPasswordIsRefused)
{
    SetCredentials("bob", "pw");
    EXPECT_EQ(1, Check("", "pw"));
    EXPECT_EQ(1, Check("bob", ""));
    EXPECT_EQ(1, Check("", ""));

    // An empty stored password never lets an empty one through, nor any other.
    SetCredentials("bob", "");
    EXPECT_EQ(1, Check("bob", ""));
    EXPECT_EQ(1, Check("bob", "x"));
    // Nor does an empty stored user name.
    SetCredentials("", "pw");
    EXPECT_EQ(1, Check("", "pw"));
    EXPECT_EQ(1, Check("x", "pw"));
}

// The sub-negotiation counts its texts: a zero byte inside one is compared like any other byte,
// not taken as the end (which let "alice\0junk" in as "alice", and "s3cret\0..." as "s3cret").
TEST_F(AccessRulesTest, ZeroByteInsideAUserNameOrPasswordIsPartOfIt)
{
    SetCredentials("alice", "s3cret");
    EXPECT_EQ(0, Check("alice", "s3cret"));
    EXPECT_EQ(1, Check(std::string("alice\0junk", 10), "s3cret"));
    EXPECT_EQ(1, Check(std::string("alice\0", 6), "s3cret"));
    EXPECT_EQ(1, Check("alice", std::string("s3cret\0guess", 12)));
    EXPECT_EQ(1, Check("alice", std::string("s3\0", 3)));
    EXPECT_EQ(1, Check(std::string("\0", 1), std::string("\0", 1)));
}

// HostsFileTest.cpp: host names answered from the hosts file on the caller's thread: only when
// the name-service order starts with that file, only when the answer is certain, and the same
// answer as the system resolver's.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <string>

#include "platform/Sockets.h"
#include "tests/platform/TestFolder.h"

namespace
{
const char* const FILES_FIRST = "passwd: files\nhosts: files dns\nnetworks: files\n";
const char* const HOSTS =
    "# static table\n"
    "127.0.0.1\tlocalhost\n"
    "::1     localhost ip6-localhost\n"
    "10.1.2.3   Build-Box.example.test  buildbox   # the build machine\r\n"
    "10.1.2.4 twice\n"
    "10.1.2.4 twice again\n"
    "fe80::1 v6only\n"
    "10.9.9.9 last-without-newline";

class HostsFile : public ::testing::Test
{
protected:
    void Write(const char* pszName, const std::string& strText)
    {
        std::ofstream(folder.Join(pszName), std::ios::binary) << strText;
    }
    // The address as text, or "" when the file gave no answer.
    std::string Answer(const char* pszName)
    {
        in_addr addr;
        addr.s_addr = 0;
        if (!SysLookupHostInFiles(pszName, &addr, folder.Join("hosts").c_str(), folder.Join("nsswitch").c_str()))
            return "";
        return inet_ntoa(addr);
    }
    CTestFolder folder;
};

TEST_F(HostsFile, ReadsTheFileAsTheResolverDoes)
{
    Write("nsswitch", FILES_FIRST);
    Write("hosts", HOSTS);
    EXPECT_EQ(Answer("localhost"), "127.0.0.1"); // the IPv6 line of the same name is passed over
    EXPECT_EQ(Answer("build-box.EXAMPLE.test"), "10.1.2.3");
    EXPECT_EQ(Answer("buildbox"), "10.1.2.3");
    EXPECT_EQ(Answer("twice"), "10.1.2.4");
    EXPECT_EQ(Answer("last-without-newline"), "10.9.9.9");
}

TEST_F(HostsFile, LeavesEveryUncertainAnswerToTheResolver)
{
    Write("nsswitch", FILES_FIRST);
    Write("hosts", std::string(HOSTS) + "\n10.5.5.5 twice\n127.1 shorthand\n");
    for (const char* pszName : {"absent", "the", "machine", "v6only", "twice", "shorthand", "localhost.", ""})
        EXPECT_EQ(Answer(pszName), "") << pszName;

    Write("hosts", "10.0.0.1 early\n" + std::string(2000, 'x') + " 10.0.0.2\n");
    EXPECT_EQ(Answer("early"), ""); // a line longer than the reader's buffer
    std::remove(folder.Join("hosts").c_str());
    EXPECT_EQ(Answer("localhost"), "");
}

TEST_F(HostsFile, AnswersOnlyWhenTheHostsFileComesFirst)
{
    Write("hosts", HOSTS);
    const struct
    {
        const char* pszNsswitch;
        const char* pszAnswer;
    } CASES[] = {
        {"hosts: files dns\n", "127.0.0.1"},
        {"  hosts : files mdns4_minimal [NOTFOUND=return] dns # comment\n", "127.0.0.1"},
        {"#hosts: dns\nhostsx: dns\nhosts:\tfiles\n", "127.0.0.1"},
        {"hosts: dns files\n", ""},
        {"hosts: files [SUCCESS=continue] dns\n", ""},
        {"hosts: files dns\nhosts: dns\n", ""},
        {"passwd: files\n", ""},
    };
    for (const auto& c : CASES)
    {
        Write("nsswitch", c.pszNsswitch);
        EXPECT_EQ(Answer("localhost"), c.pszAnswer) << c.pszNsswitch;
    }
    std::remove(folder.Join("nsswitch").c_str());
    EXPECT_EQ(Answer("localhost"), "");
}

TEST(HostsFileOfTheSystem, AgreesWithTheSystemResolver)
{
    in_addr fromFile, fromResolver;
    if (!SysLookupHostInFiles("localhost", &fromFile))
        GTEST_SKIP() << "this system does not answer localhost from its hosts file first";
    ASSERT_TRUE(SysLookupHost("localhost", &fromResolver));
    EXPECT_EQ(fromFile.s_addr, fromResolver.s_addr);
}
} // namespace

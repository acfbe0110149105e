// HostsFile.cpp (POSIX): host names answered from the hosts file on the caller's own thread.
//
// A lookup through the system resolver may wait for the network for many seconds, so the engine
// hands it to a lookup thread that a stop can abandon. A name that the resolver answers from the
// hosts file needs no such hand-over: when the name-service order starts with the hosts file, the
// resolver's answer for a name listed there is that file's entry, and reading two small local
// files never waits for the network. Only a certain answer is given; everything else (a name that
// is not there, an order that does not start with the file, two different addresses whose order
// the resolver would sort, a line this reader does not fully understand) goes to the resolver.
#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace
{
const size_t LINE_BUFFER = 1024;

// The lines of a file, read in blocks; a line longer than the buffer ends the reading as a
// failure, so that nothing is answered from a file only partly understood.
class CLineReader
{
public:
    explicit CLineReader(const char* pszPath) : fd(-1), nStart(0), nEnd(0), bEof(false), bFailed(false)
    {
        do
            fd = open(pszPath, O_RDONLY | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        bFailed = fd < 0;
    }
    ~CLineReader()
    {
        if (fd >= 0)
            close(fd);
    }

    // The next line without its line end (and without a carriage return before it). False at the
    // end of the file and on a failure (see Failed).
    bool Next(const char*& pLine, size_t& nLength)
    {
        for (;;)
        {
            if (bFailed)
                return false;
            const char* pNewline = static_cast<const char*>(memchr(buffer + nStart, '\n', nEnd - nStart));
            if (pNewline != nullptr || (bEof && nEnd > nStart))
            {
                pLine = buffer + nStart;
                nLength = (pNewline ? pNewline : buffer + nEnd) - pLine;
                nStart += nLength + (pNewline ? 1 : 0);
                if (nLength > 0 && pLine[nLength - 1] == '\r')
                    nLength--;
                return true;
            }
            if (bEof)
                return false;
            memmove(buffer, buffer + nStart, nEnd - nStart);
            nEnd -= nStart;
            nStart = 0;
            if (nEnd == sizeof(buffer))
            {
                bFailed = true; // a line longer than the buffer
                return false;
            }
            ssize_t n = read(fd, buffer + nEnd, sizeof(buffer) - nEnd);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                bFailed = true;
            else if (n == 0)
                bEof = true;
            else
                nEnd += (size_t)n;
        }
    }
    bool Failed() const { return bFailed; }

private:
    int fd;
    char buffer[LINE_BUFFER];
    size_t nStart, nEnd;
    bool bEof, bFailed;
};

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

// Splits off the next blank-separated word of [p, pEnd); false when none is left.
bool NextWord(const char*& p, const char* pEnd, const char*& pWord, size_t& nWord)
{
    while (p < pEnd && IsBlank(*p))
        p++;
    if (p == pEnd)
        return false;
    pWord = p;
    while (p < pEnd && !IsBlank(*p))
        p++;
    nWord = (size_t)(p - pWord);
    return true;
}

// The line up to its comment.
const char* EndOfContent(const char* pLine, size_t nLength)
{
    const char* pHash = static_cast<const char*>(memchr(pLine, '#', nLength));
    return pHash ? pHash : pLine + nLength;
}

bool SameWord(const char* pWord, size_t nWord, const char* psz)
{
    return strlen(psz) == nWord && memcmp(pWord, psz, nWord) == 0;
}

bool SameNameIgnoringCase(const char* pWord, size_t nWord, const char* pszName)
{
    for (size_t i = 0; i < nWord; i++)
    {
        char a = pWord[i], b = pszName[i];
        if (b == 0)
            return false;
        if (a >= 'A' && a <= 'Z')
            a = (char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = (char)(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return pszName[nWord] == 0;
}

// True when the name-service switch consults the hosts file first, and a name found there ends
// the lookup: the one "hosts:" line's first source is "files" with no action of its own.
bool HostsFileComesFirst(const char* pszNsswitch)
{
    CLineReader reader(pszNsswitch);
    const char* pLine;
    size_t nLength;
    int nHostsLines = 0;
    bool bFilesFirst = false;
    while (reader.Next(pLine, nLength))
    {
        const char* p = pLine;
        const char* pEnd = EndOfContent(pLine, nLength);
        const char* pWord;
        size_t nWord;
        if (!NextWord(p, pEnd, pWord, nWord) || nWord < 5 || memcmp(pWord, "hosts", 5) != 0)
            continue;
        // "hosts:" or "hosts :"; anything else starting with those letters is another database.
        const char* pColon = pWord + 5;
        while (pColon < pEnd && IsBlank(*pColon))
            pColon++;
        if (pColon == pEnd || *pColon != ':')
            continue;
        nHostsLines++;
        p = pColon + 1;
        const char* pSecond = nullptr;
        size_t nSecond = 0;
        bFilesFirst = NextWord(p, pEnd, pWord, nWord) && SameWord(pWord, nWord, "files") &&
                      (!NextWord(p, pEnd, pSecond, nSecond) || pSecond[0] != '[');
    }
    return !reader.Failed() && nHostsLines == 1 && bFilesFirst;
}
} // namespace

bool SysLookupHostInFiles(const char* pszName, in_addr* pAddr, const char* pszHosts, const char* pszNsswitch)
{
    size_t nName = strlen(pszName);
    // A name with a final dot is absolute; leave its treatment to the resolver.
    if (nName == 0 || pszName[nName - 1] == '.')
        return false;

    CLineReader reader(pszHosts ? pszHosts : "/etc/hosts");
    const char* pLine;
    size_t nLength;
    bool bFound = false;
    in_addr found;
    found.s_addr = 0;
    while (reader.Next(pLine, nLength))
    {
        const char* p = pLine;
        const char* pEnd = EndOfContent(pLine, nLength);
        const char* pAddress;
        size_t nAddress;
        if (!NextWord(p, pEnd, pAddress, nAddress))
            continue;
        const char* pWord;
        size_t nWord;
        bool bNamed = false;
        while (!bNamed && NextWord(p, pEnd, pWord, nWord))
            bNamed = SameNameIgnoringCase(pWord, nWord, pszName);
        if (!bNamed)
            continue;
        char szAddress[64];
        if (nAddress >= sizeof(szAddress))
            return false;
        memcpy(szAddress, pAddress, nAddress);
        szAddress[nAddress] = 0;
        in_addr addr;
        if (inet_pton(AF_INET, szAddress, &addr) != 1)
        {
            if (memchr(szAddress, ':', nAddress) != nullptr)
                continue; // an IPv6 entry: not an answer to an IPv4 lookup
            return false; // an address form this reader does not judge
        }
        if (bFound && addr.s_addr != found.s_addr)
            return false; // several addresses: the resolver decides their order
        found = addr;
        bFound = true;
    }
    // The order is read only for a name the file lists: most names are not there.
    if (reader.Failed() || !bFound || !HostsFileComesFirst(pszNsswitch ? pszNsswitch : "/etc/nsswitch.conf"))
        return false;
    *pAddr = found;
    return true;
}

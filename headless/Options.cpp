// Options.cpp: parsing and applying the headless proxy's command line.
#include "headless/Options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{
// A dotted IPv4 address of four decimal parts, each 0 to 255; host order in *pdwAddr.
bool ParseAddress(const char* psz, uint32_t* pdwAddr)
{
    uint32_t dwAddr = 0;
    for (int nPart = 0; nPart < 4; nPart++)
    {
        if (*psz < '0' || *psz > '9')
            return false;
        unsigned nValue = 0;
        int nDigits = 0;
        while (*psz >= '0' && *psz <= '9')
        {
            nValue = nValue * 10 + (unsigned)(*psz++ - '0');
            if (++nDigits > 3 || nValue > 255)
                return false;
        }
        dwAddr = dwAddr << 8 | nValue;
        if (nPart < 3 && *psz++ != '.')
            return false;
    }
    if (*psz != 0)
        return false;
    *pdwAddr = dwAddr;
    return true;
}

// A whole decimal number from nMin to nMax.
bool ParseNumber(const char* psz, long nMin, long nMax, long* pnValue)
{
    if (*psz < '0' || *psz > '9')
        return false;
    errno = 0;
    char* pEnd = nullptr;
    long nValue = strtol(psz, &pEnd, 10);
    if (errno != 0 || *pEnd != 0 || nValue < nMin || nValue > nMax)
        return false;
    *pnValue = nValue;
    return true;
}

bool ParseListen(const char* psz, sockaddr_in& sa)
{
    const char* pColon = strrchr(psz, ':');
    if (pColon == nullptr || pColon - psz >= 16)
        return false;
    char szAddr[16];
    memcpy(szAddr, psz, (size_t)(pColon - psz));
    szAddr[pColon - psz] = 0;
    uint32_t dwAddr;
    long nPort;
    // 255.255.255.255 is no address to listen on, as the Options sheet says too.
    if (!ParseAddress(szAddr, &dwAddr) || dwAddr == 0xFFFFFFFFu || !ParseNumber(pColon + 1, 0, 65535, &nPort))
        return false;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(dwAddr);
    sa.sin_port = htons((unsigned short)nPort);
    return true;
}

// FIRST-LAST or ADDR/BITS, stored ordered.
bool ParseRange(const char* psz, IP_RANGE2& range)
{
    char szText[40];
    size_t nLength = strlen(psz);
    if (nLength >= sizeof(szText))
        return false;
    memcpy(szText, psz, nLength + 1);
    char* pDash = strchr(szText, '-');
    char* pSlash = strchr(szText, '/');
    if (pDash != nullptr && pSlash == nullptr)
    {
        *pDash = 0;
        uint32_t dwFirst, dwLast;
        if (!ParseAddress(szText, &dwFirst) || !ParseAddress(pDash + 1, &dwLast))
            return false;
        range.dwFirst = dwFirst < dwLast ? dwFirst : dwLast;
        range.dwLast = dwFirst < dwLast ? dwLast : dwFirst;
        return true;
    }
    if (pSlash != nullptr && pDash == nullptr)
    {
        *pSlash = 0;
        uint32_t dwAddr;
        long nBits;
        if (!ParseAddress(szText, &dwAddr) || !ParseNumber(pSlash + 1, 0, 32, &nBits))
            return false;
        uint32_t dwMask = nBits == 0 ? 0 : 0xFFFFFFFFu << (32 - nBits);
        range.dwFirst = dwAddr & dwMask;
        range.dwLast = range.dwFirst | ~dwMask;
        return true;
    }
    return false;
}

bool Fail(CCArray& strError, const char* pszOption, const char* pszValue, const char* pszProblem)
{
    if (pszValue != nullptr)
        strError.Format("tollgated: %s \"%s\": %s", pszOption, pszValue, pszProblem);
    else
        strError.Format("tollgated: %s: %s", pszOption, pszProblem);
    return false;
}
} // namespace

SHeadlessOptions::SHeadlessOptions()
    : pszConfig(nullptr), bStdinStop(false), bHelp(false), bVersion(false), bSave(false), bListen(false),
      pszUser(nullptr), pszPasswordFile(nullptr), bNoSocks4(false), bNoSocks5(false), nLimit(0),
      pszLogFolder(nullptr), bNoLog(false), bLogStderr(false)
{
    memset(&saListen, 0, sizeof(saListen));
}

bool ParseOptions(int argc, char** argv, SHeadlessOptions& opt, CCArray& strError)
{
    for (int i = 1; i < argc; i++)
    {
        const char* pszOption = argv[i];
        // The options that take a value.
        static const char* const apszWithValue[] = {"--config", "--listen",     "--allow",        "--user",
                                                    "--limit",  "--log-folder", "--password-file"};
        bool bWithValue = false;
        for (const char* psz : apszWithValue)
            bWithValue = bWithValue || strcmp(pszOption, psz) == 0;
        const char* pszValue = nullptr;
        if (bWithValue)
        {
            if (i + 1 >= argc)
                return Fail(strError, pszOption, nullptr, "a value must follow");
            pszValue = argv[++i];
        }

        if (strcmp(pszOption, "--config") == 0)
            opt.pszConfig = pszValue;
        else if (strcmp(pszOption, "--stdin-stop") == 0)
            opt.bStdinStop = true;
        else if (strcmp(pszOption, "--help") == 0 || strcmp(pszOption, "-h") == 0)
            opt.bHelp = true;
        else if (strcmp(pszOption, "--version") == 0)
            opt.bVersion = true;
        else if (strcmp(pszOption, "--save") == 0)
            opt.bSave = true;
        else if (strcmp(pszOption, "--listen") == 0)
        {
            if (!ParseListen(pszValue, opt.saListen))
                return Fail(strError, pszOption, pszValue,
                            "not an IPv4 address and port, such as 127.0.0.1:1080");
            opt.bListen = true;
        }
        else if (strcmp(pszOption, "--allow") == 0)
        {
            IP_RANGE2 range;
            if (!ParseRange(pszValue, range))
                return Fail(strError, pszOption, pszValue,
                            "not an address range such as 192.168.1.10-192.168.1.20 or 192.168.1.0/24");
            opt.arrAllow.Add(range);
        }
        else if (strcmp(pszOption, "--user") == 0)
        {
            size_t nLength = strlen(pszValue);
            if (nLength == 0 || nLength > SETTINGS_MAX_USERID)
                return Fail(strError, pszOption, pszValue, "a user name has 1 to 255 characters");
            opt.pszUser = pszValue;
        }
        else if (strcmp(pszOption, "--password-file") == 0)
            opt.pszPasswordFile = pszValue;
        else if (strcmp(pszOption, "--no-socks4") == 0)
            opt.bNoSocks4 = true;
        else if (strcmp(pszOption, "--no-socks5") == 0)
            opt.bNoSocks5 = true;
        else if (strcmp(pszOption, "--limit") == 0)
        {
            long nLimit;
            if (!ParseNumber(pszValue, 1, SETTINGS_MAX_CONNECTIONS, &nLimit))
                return Fail(strError, pszOption, pszValue, "not a number from 1 to 9999");
            opt.nLimit = (int32_t)nLimit;
        }
        else if (strcmp(pszOption, "--log-folder") == 0)
        {
            if (*pszValue == 0)
                return Fail(strError, pszOption, pszValue, "the folder must be named");
            opt.pszLogFolder = pszValue;
        }
        else if (strcmp(pszOption, "--no-log") == 0)
            opt.bNoLog = true;
        else if (strcmp(pszOption, "--log-stderr") == 0)
            opt.bLogStderr = true;
        else
            return Fail(strError, pszOption, nullptr, "unknown option (--help lists them)");
    }

    if (opt.pszPasswordFile != nullptr && opt.pszUser == nullptr)
        return Fail(strError, "--password-file", nullptr, "needs --user");
    if (opt.pszUser != nullptr && opt.pszPasswordFile == nullptr && opt.bStdinStop)
        return Fail(strError, "--user", nullptr,
                    "with --stdin-stop the password must come from --password-file");
    if (opt.bNoSocks4 && opt.bNoSocks5)
        return Fail(strError, "--no-socks4", nullptr, "with --no-socks5 as well nothing is left to serve");
    if (opt.bNoLog && opt.pszLogFolder != nullptr)
        return Fail(strError, "--no-log", nullptr, "contradicts --log-folder");
    return true;
}

bool ReadPassword(SHeadlessOptions& opt, FILE* pStdin, CCArray& strError)
{
    if (opt.pszUser == nullptr)
        return true;
    FILE* pFile = pStdin;
    const char* pszSource = "--user";
    if (opt.pszPasswordFile != nullptr)
    {
        pszSource = "--password-file";
        pFile = fopen(opt.pszPasswordFile, "rb");
        if (pFile == nullptr)
            return Fail(strError, pszSource, opt.pszPasswordFile, strerror(errno));
    }
    // The first line's bytes as they are: a text function would stop at a NUL byte and hide it.
    // Anything longer than this is far too long for a password in any case.
    unsigned char ab[256];
    size_t n = 0;
    int ch;
    while (n < sizeof(ab) && (ch = getc(pFile)) != EOF && ch != '\n')
        ab[n++] = (unsigned char)ch;
    if (pFile != pStdin)
        fclose(pFile);

    const char* pszProblem = nullptr;
    size_t nStart = 0;
    if (n >= 2 && ((ab[0] == 0xFF && ab[1] == 0xFE) || (ab[0] == 0xFE && ab[1] == 0xFF)))
        pszProblem = "the password is UTF-16 text (a Windows editor's \"Unicode\"); save the file as UTF-8 "
                     "or plain text";
    else
    {
        if (n >= 3 && ab[0] == 0xEF && ab[1] == 0xBB && ab[2] == 0xBF)
            nStart = 3; // a UTF-8 byte order mark is no part of the password
        if (memchr(ab + nStart, 0, n - nStart) != nullptr)
            pszProblem = "the password holds a NUL byte (UTF-16 text? save the file as UTF-8 or plain text)";
    }
    size_t nLength = 0;
    while (nStart + nLength < n && ab[nStart + nLength] != '\r')
        nLength++;
    if (pszProblem == nullptr && (nLength < 1 || nLength > SETTINGS_MAX_PASSWORD))
        pszProblem = "the password (the first line) must have 1 to 32 characters";
    if (pszProblem == nullptr)
        opt.strPassword.SetText((const char*)ab + nStart, (int32_t)nLength);
    memset(ab, 0, sizeof(ab));
    if (pszProblem != nullptr)
        return Fail(strError, pszSource, opt.pszPasswordFile, pszProblem);
    return true;
}

void ApplyOptions(const SHeadlessOptions& opt, SSettings& settings)
{
    if (opt.bListen)
        settings.addrService = opt.saListen;
    if (opt.arrAllow.GetSize() > 0)
    {
        settings.arrIpRanges.RemoveAll();
        for (int32_t i = 0; i < opt.arrAllow.GetSize(); i++)
            settings.arrIpRanges.Add(new IP_RANGE2(opt.arrAllow.pData[i]));
        settings.bIpFilter = 1;
    }
    if (opt.pszUser != nullptr)
    {
        settings.strSocks5Userid = opt.pszUser;
        settings.strSocks5Password = opt.strPassword;
        settings.bSocks5Auth = 1;
    }
    if (opt.bNoSocks4)
        settings.bSocks4 = 0;
    if (opt.bNoSocks5)
        settings.bSocks5 = 0;
    if (opt.nLimit != 0)
        StoreLiveSetting(nConnectionLimit, opt.nLimit);
    if (opt.pszLogFolder != nullptr)
    {
        settings.strLogFolder = opt.pszLogFolder;
        settings.bLog = 1;
    }
    if (opt.bNoLog)
        settings.bLog = 0;
}

void PrintUsage(FILE* pOut)
{
    fprintf(pOut,
            "Usage: tollgated [options]\n"
            "SOCKS4 and SOCKS5 proxy. Serves until SIGINT or SIGTERM, then stops and exits 0.\n"
            "SIGHUP reloads the settings file; SIGUSR1 writes the statistics and a session snapshot.\n"
            "The settings come from the settings store; these options override them for this run:\n"
            "  --listen ADDR:PORT    serve this address and port (first start: 127.0.0.1:1080; port 0:\n"
            "                        any free port)\n"
            "  --allow FIRST-LAST    allow only clients in these ranges; repeatable; also ADDR/BITS\n"
            "  --user NAME           require this SOCKS5 user name; the password is the first line\n"
            "                        of --password-file FILE, or of the standard input\n"
            "  --password-file FILE  where --user's password is (never give it on the command line)\n"
            "  --no-socks4           refuse SOCKS4 clients (they cannot give a password)\n"
            "  --no-socks5           refuse SOCKS5 clients\n"
            "  --limit N             serve at most N clients at once (1 to 9999)\n"
            "  --log-folder DIR      write the session log into DIR (switches the log on)\n"
            "  --no-log              write no session log\n"
            "  --log-stderr          also write each session-log line to standard error (the default\n"
            "                        when standard error is the systemd journal)\n"
            "  --save                also store these settings for later runs\n"
            "  --config PATH         the settings store (Linux: the settings file; Windows: the key\n"
            "                        path under HKEY_CURRENT_USER)\n"
            "  --stdin-stop          also stop when standard input ends\n"
            "  --version             print the version\n"
            "  --help                show this text\n"
            "A bad value ends the program with exit code 2 before anything is changed.\n");
}

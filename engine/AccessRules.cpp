// AccessRules.cpp: address ranges, connection limit, SOCKS versions, SOCKS5 method and credentials.
#include "engine/AccessRules.h"

#include <cstring>
#include <utility>

#include "engine/SessionTable.h"
#include "net/ErrorCode.h"

namespace
{
// Held by a check for its walk over the ranges, and by ReplaceIpRanges for the swap.
CCriticalSection& RangesLock()
{
    static CCriticalSection cs;
    return cs;
}

// Held by CheckCredentials for its comparison, and by ReplaceCredentials for the swap.
CCriticalSection& CredentialsLock()
{
    static CCriticalSection cs;
    return cs;
}

CManualEvent* CreateGate()
{
    CManualEvent* pGate = new CManualEvent;
    pGate->Create(true);
    return pGate;
}

// Raises the gate again however the replacement leaves, so that the listener never waits for ever.
class CGateRaiser
{
public:
    explicit CGateRaiser(CManualEvent& ev) : evGate(ev) { evGate.Reset(); }
    ~CGateRaiser() { evGate.Set(); }

private:
    CManualEvent& evGate;
};

char AsciiLower(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? (char)(ch - 'A' + 'a') : ch;
}

// Counted texts: a NUL inside one is a byte like any other, never the end of the text.
bool EqualsIgnoringAsciiCase(const char* a, int nA, const char* b, int nB)
{
    if (nA != nB)
        return false;
    for (int i = 0; i < nA; i++)
    {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

bool EqualsExactly(const char* a, int nA, const char* b, int nB)
{
    return nA == nB && (nA == 0 || memcmp(a, b, (size_t)nA) == 0);
}
} // namespace

CManualEvent& IpRangesGate()
{
    // Never destroyed: a detached listener may still wait on it while the process exits.
    static CManualEvent* pGate = CreateGate();
    return *pGate;
}

bool IsAddressAllowed(uint32_t addrNetOrder)
{
    if (!LoadLiveSetting(g_settings.bIpFilter))
        return true;

    IpRangesGate().Wait(-1);

    uint32_t dwAddr = ntohl(addrNetOrder);
    CScopedLock lock(RangesLock());
    const CArrayPtr<IP_RANGE2>& arr = g_settings.arrIpRanges;
    for (int i = 0; i < arr.GetSize(); i++)
    {
        const IP_RANGE2* pRange = arr.pData[i];
        if (pRange->dwFirst <= dwAddr && dwAddr <= pRange->dwLast)
            return true;
    }
    return false;
}

bool IsConnectionLimitReached()
{
    return GetSessionCount() >= LoadLiveSetting(nConnectionLimit);
}

bool IsVersionAllowed(int nVersion)
{
    if (nVersion == SOCKS_VERSION_4)
        return LoadLiveSetting(g_settings.bSocks4) != 0;
    if (nVersion == SOCKS_VERSION_5)
        return LoadLiveSetting(g_settings.bSocks5) != 0;
    throw MakeErrorCode(0, COND_SOCKS_NEGOTIATE);
}

unsigned char ChooseMethod(const unsigned char* pMethods, int nCount)
{
    unsigned char nWanted = LoadLiveSetting(g_settings.bSocks5Auth) ? SOCKS5_METHOD_USERPASS : SOCKS5_METHOD_NONE;
    for (int i = 0; i < nCount; i++)
    {
        if (pMethods[i] == nWanted)
            return nWanted;
    }
    return SOCKS5_METHOD_REFUSED;
}

unsigned char CheckCredentials(const char* pUser, int nUserLength, const char* pPassword, int nPasswordLength)
{
    if (pUser == nullptr || pPassword == nullptr || nUserLength <= 0 || nPasswordLength <= 0)
        return SOCKS5_AUTH_FAILURE;
    CScopedLock lock(CredentialsLock());
    const CCArray& strUser = g_settings.strSocks5Userid;
    const CCArray& strPassword = g_settings.strSocks5Password;
    if (!EqualsIgnoringAsciiCase(pUser, nUserLength, strUser.GetString(), strUser.GetLength()))
        return SOCKS5_AUTH_FAILURE;
    if (!EqualsExactly(pPassword, nPasswordLength, strPassword.GetString(), strPassword.GetLength()))
        return SOCKS5_AUTH_FAILURE;
    return SOCKS5_AUTH_SUCCESS;
}

int GetUnreadableRestrictions(const char* apszReasons[2])
{
    int n = 0;
    if (IsRangesValueKept(g_settings))
        apszReasons[n++] = "IP Ranges setting unreadable, no client allowed";
    if (IsPasswordValueKept(g_settings))
        apszReasons[n++] = "Socks5 Password setting unreadable, no SOCKS5 login accepted";
    return n;
}

void ReplaceCredentials(const char* pszUser, const char* pszPassword)
{
    // The new texts are copied before the lock is taken, so a failed allocation changes nothing
    // and the lock is held only for the swap.
    CCArray strUser(pszUser);
    CCArray strPassword(pszPassword);
    CScopedLock lock(CredentialsLock());
    std::swap(g_settings.strSocks5Userid, strUser);
    std::swap(g_settings.strSocks5Password, strPassword);
}

void ReplaceIpRanges(const IP_RANGE2* pRanges, int nCount)
{
    // New checks wait at the gate from here on. A check already past it holds the lock for its
    // walk, so the swap below waits for it instead of freeing the list under it: no pause is
    // needed for checks to drain.
    CGateRaiser gate(IpRangesGate());
    CScopedLock lock(RangesLock());
    CArrayPtr<IP_RANGE2>& arr = g_settings.arrIpRanges;
    arr.RemoveAll();
    for (int i = 0; i < nCount; i++)
        arr.Add(new IP_RANGE2(pRanges[i]));
}

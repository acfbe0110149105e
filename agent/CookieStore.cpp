// CookieStore.cpp: storing Set-Cookie values and building the Cookie line.
#include "agent/CookieStore.h"

#include <cstring>

#include "agent/NoCase.h"

bool CookieDomainMatches(const char* pszHost, const char* pszDomain)
{
    size_t nHost = strlen(pszHost);
    size_t nDomain = strlen(pszDomain);
    if (nDomain == 0 || nHost < nDomain || strcmp(pszHost + nHost - nDomain, pszDomain) != 0)
        return false;
    // A domain given with its leading dot already names the boundary.
    return nHost == nDomain || pszDomain[0] == '.' || pszHost[nHost - nDomain - 1] == '.';
}

namespace
{
// A cookie goes back out inside the Cookie line: a CR, LF or any other control byte in its name
// or value would let the server write header lines of its own into the next request.
bool HasControlBytes(const CCArray& str)
{
    for (int32_t i = 0; i < str.GetLength(); i++)
    {
        unsigned char ch = (unsigned char)str.pData[i];
        if (ch < 0x20 || ch == 0x7F)
            return true;
    }
    return false;
}

bool IsAddressLiteral(const char* pszHost)
{
    for (const char* p = pszHost; *p; p++)
    {
        if ((*p < '0' || *p > '9') && *p != '.')
            return false;
    }
    return *pszHost != 0;
}

// A host may set a cookie for a domain only when it lies in that domain itself: the domain, or a
// host under it. A domain of one label (a top-level domain) is accepted only as the host's own
// name, and an address literal sets cookies for itself alone.
bool MaySetDomain(const char* pszHost, const char* pszDomain)
{
    if (strcmp(pszHost, pszDomain) == 0)
        return true;
    if (IsAddressLiteral(pszHost) || strchr(pszDomain, '.') == nullptr)
        return false;
    return CookieDomainMatches(pszHost, pszDomain);
}
} // namespace

void CCookieStore::StoreCookie(const SUrl& url, const char* pszValue)
{
    CArrayObj<CCArray, CCArray&> items(8);
    const char* p = pszValue;
    for (;;)
    {
        const char* pEnd = strchr(p, ';');
        CCArray strItem;
        strItem.SetText(p, pEnd ? (int32_t)(pEnd - p) : (int32_t)strlen(p));
        strItem.Trim();
        if (!strItem.IsEmpty())
            items.Add(strItem);
        if (!pEnd)
            break;
        p = pEnd + 1;
    }
    if (items.GetSize() == 0)
        return;

    SCookie cookie;
    cookie.domain.SetText("", 0);
    cookie.path.SetText("", 0);
    for (int32_t i = 1; i < items.GetSize(); i++)
    {
        const char* pszItem = items[i].GetString();
        if (StartsWithNoCase(pszItem, "domain="))
            cookie.domain.SetText(pszItem + 7);
        else if (StartsWithNoCase(pszItem, "path="))
            cookie.path.SetText(pszItem + 5);
        else if (!EqualsNoCase(pszItem, "secure") && !StartsWithNoCase(pszItem, "expires="))
            return;
    }
    CCArray strHost = GetUrlPart(url, URL_HOST);
    strHost.MakeLower();
    // A leading dot adds nothing: "domain=.example.com" is the domain example.com.
    if (cookie.domain.GetLength() > 0 && cookie.domain.pData[0] == '.')
    {
        CCArray strDomain;
        strDomain.Mid(cookie.domain, 1);
        cookie.domain = strDomain;
    }
    cookie.domain.MakeLower();
    if (cookie.domain.IsEmpty())
        cookie.domain = strHost;
    else if (!MaySetDomain(strHost.GetString(), cookie.domain.GetString()))
        return;
    if (cookie.path.IsEmpty())
        cookie.path = GetUrlPart(url, URL_PATH);

    int32_t nEquals = items[0].FindChar('=');
    if (nEquals <= 0)
        return;
    cookie.name.Left(items[0], nEquals);
    cookie.value.Mid(items[0], nEquals + 1);
    if (cookie.value.GetSize() == 0)
        cookie.value.SetText("", 0);
    if (HasControlBytes(cookie.name) || HasControlBytes(cookie.value))
        return;

    CScopedLock lock(cs);
    for (int32_t i = 0; i < arrCookies.GetSize(); i++)
    {
        SCookie& old = arrCookies[i];
        if (strcmp(old.name.GetString(), cookie.name.GetString()) == 0 &&
            strcmp(old.domain.GetString(), cookie.domain.GetString()) == 0 &&
            strcmp(old.path.GetString(), cookie.path.GetString()) == 0)
        {
            old.value = cookie.value;
            return;
        }
    }
    arrCookies.Add(cookie);
}

bool CCookieStore::BuildCookieHeader(const SUrl& url, CCArray& strOut)
{
    CCArray strHost = GetUrlPart(url, URL_HOST);
    strHost.MakeLower();
    CCArray strPath = GetUrlPart(url, URL_PATH);
    strOut.SetText("", 0);

    CScopedLock lock(cs);
    for (int32_t i = 0; i < arrCookies.GetSize(); i++)
    {
        const SCookie& cookie = arrCookies[i];
        if (!CookieDomainMatches(strHost.GetString(), cookie.domain.GetString()))
            continue;
        if (strncmp(strPath.GetString(), cookie.path.GetString(), cookie.path.GetLength()) != 0)
            continue;
        if (!strOut.IsEmpty())
            strOut.Append("; ");
        strOut.Append(cookie.name);
        strOut.AppendChar('=');
        strOut.Append(cookie.value);
    }
    return !strOut.IsEmpty();
}

int32_t CCookieStore::GetCount()
{
    CScopedLock lock(cs);
    return arrCookies.GetSize();
}

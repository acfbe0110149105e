// Url.cpp: parsing of absolute http URLs and resolution of redirect targets.
#include "agent/Url.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "foundation/TextHelpers.h"

namespace
{

const int SCHEME_LENGTH = 7; // "http://"

int FindFrom(const char* psz, int nLength, int nStart, int nEnd, char ch)
{
    for (int i = nStart; i < nEnd && i < nLength; i++)
        if (psz[i] == ch)
            return i;
    return -1;
}

void SetPart(SUrl& url, int nPart, int nStart, int nLength)
{
    url.pnStart[nPart] = nStart;
    url.pnLength[nPart] = nLength;
}

// Replaces every occurrence, again and again, until none is left ("///" becomes "/").
void ReplaceAll(CCArray& str, const char* pszFind, const char* pszWith)
{
    while (str.Replace(pszFind, pszWith))
    {
    }
}

// The part after "://" with "//", "/./" and "/../" taken out; a "/../" right after the authority
// only becomes "/", it never eats the host.
void NormalisePath(CCArray& strRest)
{
    ReplaceAll(strRest, "//", "/");
    int32_t nLength = strRest.GetLength();
    if ((nLength >= 2 && strcmp(strRest.RightPtr(2), "/.") == 0) ||
        (nLength >= 3 && strcmp(strRest.RightPtr(3), "/..") == 0))
        strRest.AppendChar('/');
    ReplaceAll(strRest, "/./", "/");
    for (;;)
    {
        int32_t i = strRest.Find("/../");
        if (i < 0)
            break;
        int32_t j = i - 1;
        while (j >= 0 && strRest.pData[j] != '/')
            j--;
        if (j < 0)
            strRest.Delete(i + 1, 3);
        else
            strRest.Delete(j, i + 3 - j);
    }
}

} // namespace

SUrl::SUrl()
    : pszText(nullptr), nPort(80), pnStart(new int[URL_PART_COUNT]), pnLength(new int[URL_PART_COUNT])
{
    memset(pnStart, 0, sizeof(int) * URL_PART_COUNT);
    memset(pnLength, 0, sizeof(int) * URL_PART_COUNT);
}

SUrl::~SUrl()
{
    delete[] pszText;
    delete[] pnStart;
    delete[] pnLength;
}

int WwwPrefixLength(const char* psz)
{
    size_t nLength = strlen(psz);
    if (nLength <= 4 || tolower((unsigned char)psz[0]) != 'w' || tolower((unsigned char)psz[1]) != 'w' ||
        tolower((unsigned char)psz[2]) != 'w')
        return 0;
    if (psz[3] == '.')
        return 4;
    if (isdigit((unsigned char)psz[3]) && psz[4] == '.')
        return 5;
    return 0;
}

SUrl* ParseUrl(const char* pszUrl)
{
    int nLength = (int)strlen(pszUrl);
    int nSlash = FindFrom(pszUrl, nLength, SCHEME_LENGTH, nLength, '/');
    if (nSlash < 0)
        return nullptr;

    SUrl* pUrl = new SUrl;
    SUrl& url = *pUrl;
    int nHost = SCHEME_LENGTH;
    int nAt = FindFrom(pszUrl, nLength, SCHEME_LENGTH, nSlash, '@');
    if (nAt >= 0)
    {
        int nColon = FindFrom(pszUrl, nLength, SCHEME_LENGTH, nAt, ':');
        if (nColon >= 0)
        {
            SetPart(url, URL_USER, SCHEME_LENGTH, nColon - SCHEME_LENGTH);
            SetPart(url, URL_PASSWORD, nColon + 1, nAt - nColon - 1);
        }
        else
            SetPart(url, URL_USER, SCHEME_LENGTH, nAt - SCHEME_LENGTH);
        nHost = nAt + 1;
    }

    int nHostEnd = FindFrom(pszUrl, nLength, nHost, nSlash, ':');
    if (nHostEnd < 0)
        nHostEnd = nSlash;
    else if (nHostEnd + 1 < nSlash)
    {
        char szPort[16];
        int nDigits = nSlash - nHostEnd - 1;
        uint32_t nPort = 0;
        if (nDigits < (int)sizeof(szPort))
        {
            memcpy(szPort, pszUrl + nHostEnd + 1, nDigits);
            szPort[nDigits] = 0;
            nPort = ParseUnsigned(szPort, 10, 0);
        }
        if (nPort < 1 || nPort > 65535)
        {
            delete pUrl;
            return nullptr;
        }
        url.nPort = (int)nPort;
    }
    if (nHostEnd == nHost)
    {
        delete pUrl;
        return nullptr;
    }
    SetPart(url, URL_HOST, nHost, nHostEnd - nHost);

    char szHost[8] = {0};
    memcpy(szHost, pszUrl + nHost, nHostEnd - nHost < 7 ? nHostEnd - nHost : 7);
    int nWww = nHostEnd - nHost > 4 ? WwwPrefixLength(szHost) : 0;
    SetPart(url, URL_DOMAIN, nHost + nWww, nHostEnd - nHost - nWww);

    int nEnd = FindFrom(pszUrl, nLength, nSlash, nLength, '?');
    if (nEnd >= 0)
    {
        if (nEnd + 1 < nLength)
        {
            int nHash = FindFrom(pszUrl, nLength, nEnd + 1, nLength, '#');
            SetPart(url, URL_QUERY, nEnd + 1, (nHash < 0 ? nLength : nHash) - nEnd - 1);
        }
    }
    else
    {
        nEnd = FindFrom(pszUrl, nLength, nSlash, nLength, '#');
        if (nEnd < 0)
            nEnd = nLength;
    }
    SetPart(url, URL_PATH, nSlash, nEnd - nSlash);
    int nFile = nEnd;
    while (pszUrl[nFile - 1] != '/')
        nFile--;
    SetPart(url, URL_FILE, nFile, nEnd - nFile);
    SetPart(url, URL_BASE, 0, nFile);

    url.pszText = DuplicateText(pszUrl, nLength);
    return pUrl;
}

void FreeUrl(SUrl* pUrl)
{
    delete pUrl;
}

CCArray GetUrlPart(const SUrl& url, int nPart)
{
    CCArray str;
    if (nPart >= 0 && nPart < URL_PART_COUNT && url.pszText)
        str.SetText(url.pszText + url.pnStart[nPart], url.pnLength[nPart]);
    else
        str.SetText("", 0);
    return str;
}

CCArray GetRequestUri(const SUrl& url)
{
    CCArray str = GetUrlPart(url, URL_PATH);
    if (url.pnLength[URL_QUERY] > 0)
    {
        str.AppendChar('?');
        str.Append(GetUrlPart(url, URL_QUERY));
    }
    return str;
}

CCArray GetHostPort(const SUrl& url)
{
    CCArray str = GetUrlPart(url, URL_HOST);
    if (url.nPort != 80)
    {
        char szPort[16];
        snprintf(szPort, sizeof(szPort), ":%d", url.nPort);
        str.Append(szPort);
    }
    return str;
}

CCArray GetAbsoluteUrl(const SUrl& url)
{
    CCArray str("http://");
    str.Append(GetHostPort(url));
    str.Append(GetRequestUri(url));
    return str;
}

bool ResolveLocation(CCArray& strLocation, const char* pszBase)
{
    strLocation.Trim();
    if (strLocation.IsEmpty() || strLocation.pData[0] == '?' || strLocation.pData[0] == '#')
        return false;

    CCArray strTail;
    int32_t nSplit = strLocation.FindChar('?');
    if (nSplit < 0)
        nSplit = strLocation.FindChar('#');
    if (nSplit >= 0)
    {
        strTail.Mid(strLocation, nSplit);
        strLocation.Truncate(nSplit);
    }
    else
        strTail.SetText("", 0);

    CCArray strBase(pszBase);
    int32_t nScheme = strBase.Find("://");
    CCArray strResult;
    const char* pszLocation = strLocation.GetString();
    if (pszLocation[0] == '/')
    {
        int32_t nRoot = nScheme < 0 ? -1 : strBase.FindChar('/', nScheme + 3);
        strResult.Left(strBase, nRoot);
        strResult.Append(strLocation);
    }
    else if (WwwPrefixLength(pszLocation) > 0)
    {
        if (nScheme < 0)
            return false;
        strResult.Left(strBase, nScheme + 3);
        strResult.Append(strLocation);
    }
    else
    {
        int32_t nSeparator = strLocation.Find("://");
        if (nSeparator < 0 || strLocation.FindChar(':') != nSeparator)
        {
            if (strLocation.FindChar(':') >= 0)
                return false;
            strResult = strBase;
            strResult.Append(strLocation);
        }
        else
            strResult = strLocation;
    }

    int32_t nRest = strResult.Find("://");
    if (nRest < 0 || nRest + 3 >= strResult.GetLength())
        return false;
    CCArray strRest;
    strRest.Mid(strResult, nRest + 3);
    NormalisePath(strRest);
    strResult.Truncate(nRest + 3);
    strResult.Append(strRest);
    strResult.Append(strTail);
    strLocation = strResult;
    return true;
}

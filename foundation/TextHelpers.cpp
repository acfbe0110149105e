// TextHelpers.cpp: free text, number, file-name and file-creation helpers.
#include "foundation/TextHelpers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{
bool IsTrimmed(char ch)
{
    return ch == '\t' || ch == '\n' || ch == '\r' || ch == ' ';
}

char LowerAscii(char ch)
{
    return (ch >= 'A' && ch <= 'Z') ? (char)(ch - 'A' + 'a') : ch;
}

bool EqualNoCase(const char* a, const char* b)
{
    while (*a && LowerAscii(*a) == LowerAscii(*b))
    {
        a++;
        b++;
    }
    return LowerAscii(*a) == LowerAscii(*b);
}
} // namespace

int32_t TrimWhitespace(char* psz)
{
    if (!psz)
        return 0;
    size_t nLen = strlen(psz);
    while (nLen > 0 && IsTrimmed(psz[nLen - 1]))
        nLen--;
    size_t nStart = 0;
    while (nStart < nLen && IsTrimmed(psz[nStart]))
        nStart++;
    nLen -= nStart;
    if (nStart > 0)
        memmove(psz, psz + nStart, nLen);
    psz[nLen] = 0;
    return (int32_t)nLen;
}

const char* GetFileNamePart(const char* pszPath)
{
    const char* p = strrchr(pszPath, PATH_SEPARATOR);
    return p ? p + 1 : pszPath;
}

const char* GetExtensionPart(const char* pszName)
{
    size_t nLen = strlen(pszName);
    for (size_t i = nLen; i-- > 1;)
    {
        if (pszName[i] == '.')
            return pszName + i + 1;
    }
    return pszName + nLen;
}

int32_t ParseInt(const char* psz, int nBase, int32_t nDefault)
{
    if (!psz || !*psz)
        return nDefault;
    char* pEnd = nullptr;
    errno = 0;
    long long n = strtoll(psz, &pEnd, nBase);
    if (pEnd == psz || *pEnd != 0 || errno == ERANGE || n < INT32_MIN || n > INT32_MAX)
        return nDefault;
    return (int32_t)n;
}

uint32_t ParseUnsigned(const char* psz, int nBase, uint32_t nDefault)
{
    if (!psz || !*psz)
        return nDefault;
    // strtoull would accept "-1" as the largest value; a sign is not part of an unsigned number.
    const char* p = psz;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p == '-')
        return nDefault;
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long n = strtoull(psz, &pEnd, nBase);
    if (pEnd == psz || *pEnd != 0 || errno == ERANGE || n > UINT32_MAX)
        return nDefault;
    return (uint32_t)n;
}

void AddTrailingBackslash(CCArray& strPath)
{
    int32_t nLength = strPath.GetLength();
    if (nLength > 0 && strPath.pData[nLength - 1] != PATH_SEPARATOR)
        strPath.AppendChar(PATH_SEPARATOR);
}

bool FormatTime(CCArray& strOut, int64_t tTime, const char* pszFormat)
{
    struct tm tmLocal;
    char szBuffer[128];
    size_t n = 0;
    if (SysLocalTime(tTime, &tmLocal))
        n = strftime(szBuffer, sizeof(szBuffer), pszFormat, &tmLocal);
    strOut.SetText(szBuffer, (int32_t)n);
    return n > 0;
}

bool GetSystemErrorText(CCArray& strOut, uint32_t dwError, bool bRaw)
{
    char szBuffer[2048];
    if (!SysErrorMessage(dwError, szBuffer, sizeof(szBuffer)))
    {
        strOut.SetText("", 0);
        return false;
    }
    strOut = szBuffer;
    if (!bRaw)
    {
        strOut.Trim();
        strOut.Replace("\r", nullptr);
        strOut.ReplaceChar('\n', ' ');
    }
    return true;
}

namespace
{
// Gives the path the next name in the sequence Log.txt, Log[1].txt, Log[2].txt...
void RenumberPath(CCArray& strPath)
{
    int32_t nLength = strPath.GetLength();
    const char* psz = strPath.GetString();
    const char* pSep = strrchr(psz, PATH_SEPARATOR);
    int32_t nNameStart = pSep ? (int32_t)(pSep - psz) + 1 : 0;

    // The number goes before the extension; a dot outside the file-name part, or leading it,
    // is no extension.
    int32_t nAt = nLength - 1;
    int32_t nDot = strPath.ReverseFind('.');
    if (nDot - 1 >= nNameStart)
        nAt = nDot - 1;

    if (nAt >= nNameStart && psz[nAt] == ']')
    {
        int32_t nOpen = -1;
        for (int32_t i = nAt - 1; i >= nNameStart; i--)
        {
            if (psz[i] == '[')
            {
                nOpen = i;
                break;
            }
        }
        if (nOpen >= 0)
        {
            CCArray strNumber;
            strNumber.SetText(psz + nOpen + 1, nAt - nOpen - 1);
            int32_t n = ParseInt(strNumber.GetString(), 10, INT32_MIN);
            if (n >= 0)
            {
                char szNumber[16];
                int nDigits = snprintf(szNumber, sizeof(szNumber), "%lld", (long long)n + 1);
                strPath.Delete(nOpen + 1, nAt - nOpen - 1);
                strPath.Insert(nOpen + 1, szNumber, nDigits);
                return;
            }
        }
    }
    strPath.Insert(nAt + 1, "[1]", 3);
}
} // namespace

FILEHANDLE CreateUniqueFile(CCArray& strPath, unsigned nAccess, unsigned nShare)
{
    for (;;)
    {
        FILEHANDLE h =
            SysCreateFile(strPath.GetString(), nAccess, nShare, SYSFILE_CREATE_NEW, SYSFILE_NO_INHERIT);
        if (h != FILE_INVALID)
            return h;
        uint32_t dwError = SysGetLastError();
        // A folder of the same name refuses the create with "access denied": that name is taken
        // too.
        if (dwError != ERROR_FILE_EXISTS &&
            !(dwError == ERROR_ACCESS_DENIED && SysIsDirectory(strPath.GetString())))
        {
            SysSetLastError(dwError);
            return FILE_INVALID;
        }
        if (strPath.GetLength() == 0)
        {
            SysSetLastError(dwError);
            return FILE_INVALID;
        }
        RenumberPath(strPath);
    }
}

int32_t FindString(const CArrayObj<CCArray, CCArray&>& arr, const char* psz, bool bIgnoreCase, int32_t nStart)
{
    if (nStart < 0 || !psz)
        return -1;
    for (int32_t i = nStart; i < arr.nCount; i++)
    {
        const char* pszElement = arr.pData[i].GetString();
        if (bIgnoreCase ? EqualNoCase(pszElement, psz) : strcmp(pszElement, psz) == 0)
            return i;
    }
    return -1;
}

char* DuplicateText(const char* psz, int32_t nLength)
{
    if (nLength < 0)
        nLength = psz ? (int32_t)strlen(psz) : 0;
    char* p = new char[(size_t)nLength + 1];
    if (nLength > 0)
        memcpy(p, psz, (size_t)nLength);
    p[nLength] = 0;
    return p;
}

// HttpHead.cpp: unfolding and parsing of message heads, and the status line.
#include "agent/HttpHead.h"

#include <cstring>
#include "agent/NoCase.h"

#include "foundation/TextHelpers.h"

namespace
{
const int32_t MAX_VERSION_NUMBER = 999;
const int32_t MAX_STATUS = 999; // a status code has three digits

// A whole decimal number of digits only: -1 when empty, not all digits or above nMax.
int32_t ParseDigits(const char* p, int nLength, int32_t nMax)
{
    if (nLength <= 0 || nLength > 10)
        return -1;
    int64_t n = 0;
    for (int i = 0; i < nLength; i++)
    {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        n = n * 10 + (p[i] - '0');
    }
    return n > nMax ? -1 : (int32_t)n;
}

} // namespace

bool CHtHead::Parse(CCArray& strBlock)
{
    strBlock.Replace("\r\n ", " ");
    strBlock.Replace("\r\n\t", "\t");

    names.RemoveAll();
    values.RemoveAll();
    int32_t nFirstEnd = strBlock.Find("\r\n");
    CCArray strLine;
    strLine.Left(strBlock, nFirstEnd);
    if (!ParseFirstLine(strLine))
        return false;
    if (nFirstEnd < 0)
    {
        rawHeaders.SetText("", 0);
        return true;
    }

    int32_t nStart = nFirstEnd + 2;
    int32_t nLength = strBlock.GetLength();
    int32_t nRawEnd = nLength >= 2 && strcmp(strBlock.RightPtr(2), "\r\n") == 0 ? nLength - 2 : nLength;
    if (nRawEnd > nStart)
        rawHeaders.SetText(strBlock.GetString() + nStart, nRawEnd - nStart);
    else
        rawHeaders.SetText("", 0);

    for (;;)
    {
        int32_t nColon = strBlock.FindChar(':', nStart);
        if (nColon < 0)
            break;
        int32_t nEnd = strBlock.Find("\r\n", nColon);
        if (nEnd < 0)
            break;
        CCArray strName, strValue;
        strName.SetText(strBlock.GetString() + nStart, nColon - nStart);
        strValue.SetText(strBlock.GetString() + nColon + 1, nEnd - nColon - 1);
        strValue.Trim();
        names.Add(strName);
        values.Add(strValue);
        nStart = nEnd + 2;
    }
    return true;
}

bool CHtHead::GetHeader(const char* pszName, CCArray& strValue) const
{
    int32_t i = FindString(names, pszName, true);
    if (i < 0)
        return false;
    strValue = values[i];
    return true;
}

bool CHtRespHead::ParseFirstLine(const CCArray& strLine)
{
    const char* psz = strLine.GetString();
    if (!StartsWithNoCase(psz, "HTTP/"))
        return false;
    const char* pMajor = psz + 5;
    const char* pDot = strchr(pMajor, '.');
    if (!pDot)
        return false;
    const char* pSpace = strchr(pDot + 1, ' ');
    if (!pSpace)
        return false;
    // The version is kept as major * 65536 + minor in an int: a major number above 32767 would
    // not fit. HTTP's own numbers are single digits; three are plenty.
    int32_t nMajor = ParseDigits(pMajor, (int)(pDot - pMajor), MAX_VERSION_NUMBER);
    int32_t nMinor = ParseDigits(pDot + 1, (int)(pSpace - pDot - 1), MAX_VERSION_NUMBER);
    if (nMajor < 0 || nMinor < 0)
        return false;
    const char* pStatus = pSpace + 1;
    const char* pStatusEnd = strchr(pStatus, ' ');
    int nStatusLength = pStatusEnd ? (int)(pStatusEnd - pStatus) : (int)strlen(pStatus);
    int32_t nStatus = ParseDigits(pStatus, nStatusLength, MAX_STATUS);
    if (nStatus < 0)
        return false;
    version = nMajor * 65536 + nMinor;
    status = nStatus;
    statusText.SetText(pStatus);
    return true;
}

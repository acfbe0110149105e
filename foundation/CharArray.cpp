// CharArray.cpp: the operations of CCArray.
#include "foundation/CharArray.h"

#include <cstdio>
#include <cstring>

#include "foundation/TextHelpers.h"

namespace
{
// Formatted text is limited to this many characters.
const int32_t FORMAT_MAX = 999;
} // namespace

CCArray::CCArray(const char* psz) : Base(1000)
{
    if (psz)
        SetText(psz, (int32_t)strlen(psz));
}

CCArray::CCArray(const CCArray& other) : Base(1000)
{
    if (other.nCount > 0)
        SetText(other.pData, other.GetLength());
}

CCArray::CCArray(CCArray&& other) noexcept : Base(1000)
{
    Attach(other);
}

CCArray& CCArray::operator=(const char* psz)
{
    if (psz)
        SetText(psz, (int32_t)strlen(psz));
    else
        SetSize(0);
    return *this;
}

CCArray& CCArray::operator=(const CCArray& other)
{
    if (&other == this)
        return *this;
    if (other.nCount > 0)
        SetText(other.pData, other.GetLength());
    else
        SetSize(0);
    return *this;
}

CCArray& CCArray::operator=(CCArray&& other) noexcept
{
    if (&other != this)
        Attach(other);
    return *this;
}

void CCArray::AppendArray(const CArrayObjBase<char, char>& other)
{
    // The other string's count includes its terminator, which must not land inside this text.
    if (other.nCount > 1)
        AppendData(other.pData, other.nCount - 1);
}

void CCArray::SetText(const char* p, int32_t n)
{
    if (n < 0)
        n = 0;
    // The source may lie inside this string: it cannot move, since the text only gets shorter
    // or stays within the capacity it already has.
    int32_t nSource = IndexOf(p);
    SetSize(n + 1);
    if (nSource >= 0)
        p = pData + nSource;
    if (n > 0)
        memmove(pData, p, (size_t)n);
    pData[n] = 0;
}

void CCArray::SetText(const char* psz)
{
    *this = psz;
}

void CCArray::SetTextMax(const char* psz, int32_t nMax)
{
    if (!psz)
    {
        SetSize(0);
        return;
    }
    size_t nLen = strlen(psz);
    if (nMax >= 0 && (size_t)nMax < nLen)
        nLen = (size_t)nMax;
    SetText(psz, (int32_t)nLen);
}

void CCArray::AppendData(const char* p, int32_t n)
{
    if (n <= 0)
        return;
    int32_t nSource = IndexOf(p);
    if (nCount > 0)
        nCount--; // drop the terminator
    int32_t nNewLength = nCount + n;
    if (nNewLength >= nAlloc)
        SetAllocSize(nNewLength + 1);
    if (nSource >= 0)
        p = pData + nSource;
    memmove(pData + nCount, p, (size_t)n);
    pData[nNewLength] = 0;
    nCount = nNewLength + 1;
}

void CCArray::Append(const char* psz)
{
    if (psz)
        AppendData(psz, (int32_t)strlen(psz));
}

void CCArray::Insert(int32_t nPos, const char* p, int32_t n)
{
    if (n <= 0)
        return;
    int32_t nLength = GetLength();
    if (nPos < 0)
        nPos = 0;
    if (nPos > nLength)
        nPos = nLength;
    int32_t nSource = IndexOf(p);
    if (nCount > 0)
        nCount--;
    int32_t nNewLength = nCount + n;
    if (nNewLength >= nAlloc)
        SetAllocSize(nNewLength + 1);
    memmove(pData + nPos + n, pData + nPos, (size_t)(nLength - nPos));
    if (nSource >= 0)
    {
        // Inserting a piece of this very string: the part after nPos has just moved up.
        if (nSource >= nPos)
            nSource += n;
        p = pData + nSource;
        if (nSource < nPos && nSource + n > nPos)
        {
            // The piece straddles the insertion point: its head stayed, its tail moved up.
            int32_t nHead = nPos - nSource;
            memmove(pData + nPos, pData + nSource, (size_t)nHead);
            memmove(pData + nPos + nHead, pData + nPos + n, (size_t)(n - nHead));
            p = nullptr;
        }
    }
    if (p)
        memmove(pData + nPos, p, (size_t)n);
    pData[nNewLength] = 0;
    nCount = nNewLength + 1;
}

void CCArray::Format(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    FormatV(pszFormat, args);
    va_end(args);
}

void CCArray::FormatV(const char* pszFormat, va_list args)
{
    // Formatted into a buffer of its own first, so that an argument may be this string's text.
    char szBuffer[FORMAT_MAX + 1];
    int n = vsnprintf(szBuffer, sizeof(szBuffer), pszFormat, args);
    if (n < 0)
        n = 0; // an encoding error leaves nothing usable
    if (n > FORMAT_MAX)
        n = FORMAT_MAX;
    SetAllocSize(FORMAT_MAX + 1);
    memcpy(pData, szBuffer, (size_t)n);
    pData[n] = 0;
    SetSize(n + 1);
}

int32_t CCArray::Find(const char* pszSub, int32_t nStart) const
{
    if (!pszSub || nStart < 0 || nStart >= nCount)
        return -1;
    const char* p = strstr(pData + nStart, pszSub);
    return p ? (int32_t)(p - pData) : -1;
}

int32_t CCArray::FindChar(char ch, int32_t nStart) const
{
    if (nStart < 0 || nStart >= nCount)
        return -1;
    const void* p = memchr(pData + nStart, ch, (size_t)(GetLength() - nStart));
    return p ? (int32_t)((const char*)p - pData) : -1;
}

int32_t CCArray::ReverseFind(char ch) const
{
    for (int32_t i = GetLength() - 1; i >= 0; i--)
    {
        if (pData[i] == ch)
            return i;
    }
    return -1;
}

void CCArray::ReplaceChar(char chOld, char chNew)
{
    int32_t nLength = GetLength();
    for (int32_t i = 0; i < nLength; i++)
    {
        if (pData[i] == chOld)
            pData[i] = chNew;
    }
}

bool CCArray::Replace(const char* pszFind, const char* pszWith)
{
    if (!pszFind || !*pszFind || Find(pszFind, 0) < 0)
        return false;
    int32_t nFind = (int32_t)strlen(pszFind);
    int32_t nWith = pszWith ? (int32_t)strlen(pszWith) : 0;
    CCArray strResult;
    int32_t nFrom = 0;
    for (;;)
    {
        int32_t nAt = Find(pszFind, nFrom);
        if (nAt < 0)
            break;
        strResult.AppendData(pData + nFrom, nAt - nFrom);
        strResult.AppendData(pszWith, nWith);
        nFrom = nAt + nFind;
    }
    strResult.AppendData(pData + nFrom, GetLength() - nFrom);
    if (strResult.nCount == 0)
        SetText("", 0);
    else
        Attach(strResult);
    return true;
}

void CCArray::Left(const CCArray& src, int32_t n)
{
    if (src.nCount <= 1)
    {
        SetSize(0);
        return;
    }
    if (n < 0 || n >= src.nCount)
        n = src.GetLength();
    SetText(src.pData, n);
}

void CCArray::Mid(const CCArray& src, int32_t nStart, int32_t n)
{
    if (src.nCount == 0 || nStart < 0 || nStart > src.GetLength())
        return;
    int32_t nRest = src.GetLength() - nStart;
    if (n < 0 || n > nRest)
        n = nRest;
    SetText(src.pData + nStart, n);
}

void CCArray::MidText(const char* psz, int32_t nStart, int32_t n)
{
    if (!psz || nStart < 0 || n < -1)
        return;
    int32_t nLength = (int32_t)strlen(psz);
    if (nStart > nLength)
        return;
    int32_t nRest = nLength - nStart;
    if (n < 0 || n > nRest)
        n = nRest;
    SetText(psz + nStart, n);
}

const char* CCArray::RightPtr(int32_t n) const
{
    if (n <= 0 || nCount == 0)
        return "";
    if (n >= nCount)
        return pData;
    return pData + GetLength() - n;
}

void CCArray::Trim()
{
    if (nCount == 0)
        return;
    nCount = TrimWhitespace(pData) + 1;
}

void CCArray::MakeLower()
{
    int32_t nLength = GetLength();
    for (int32_t i = 0; i < nLength; i++)
    {
        if (pData[i] >= 'A' && pData[i] <= 'Z')
            pData[i] = (char)(pData[i] - 'A' + 'a');
    }
}

void CCArray::Truncate(int32_t nLength)
{
    if (nLength >= 0 && nLength < GetLength())
    {
        pData[nLength] = 0;
        nCount = nLength + 1;
    }
}

void CCArray::Attach(CCArray& other)
{
    if (&other == this)
        return;
    SetAllocSize(0);
    pData = other.pData;
    nCount = other.nCount;
    nAlloc = other.nAlloc;
    other.pData = nullptr;
    other.nCount = 0;
    other.nAlloc = 0;
}

// ---------------------------------------------------------------------------------------------
// Concatenation reserves the final size once and copies each part once.
namespace
{
CCArray Concat(const char* p1, int32_t n1, const char* p2, int32_t n2)
{
    CCArray str;
    str.SetAllocSize(n1 + n2 + 1);
    str.AppendData(p1, n1);
    str.AppendData(p2, n2);
    if (str.nCount == 0)
        str.SetText("", 0);
    return str;
}
} // namespace

CCArray operator+(const CCArray& a, const char* psz)
{
    if (!psz || !*psz)
        return a;
    return Concat(a.GetString(), a.GetLength(), psz, (int32_t)strlen(psz));
}

CCArray operator+(const char* psz, const CCArray& b)
{
    if (!psz || !*psz)
        return b;
    return Concat(psz, (int32_t)strlen(psz), b.GetString(), b.GetLength());
}

CCArray operator+(const CCArray& a, char ch)
{
    return Concat(a.GetString(), a.GetLength(), &ch, 1);
}

CCArray operator+(const CCArray& a, const CCArray& b)
{
    if (a.nCount <= 1)
        return b;
    if (b.nCount <= 1)
        return a;
    return Concat(a.GetString(), a.GetLength(), b.GetString(), b.GetLength());
}

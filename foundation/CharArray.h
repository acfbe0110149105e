// CharArray.h: CCArray, the 8-bit zero-terminated string of every deliverable.
//
// A CCArray is a character array that counts its terminator: it holds either nothing (nCount 0)
// or its characters followed by one zero byte (nCount = length + 1). Both nCount 0 and nCount 1
// are the empty string; code that asks for a non-empty value tests nCount > 1. Storage grows in
// steps of 1000 characters and is never shared: every copy copies the characters.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "foundation/Array.h"

class CCArray : public CArraySimpleObj<char, char>
{
    typedef CArraySimpleObj<char, char> Base;

public:
    CCArray() : Base(1000) {}
    CCArray(const char* psz);
    CCArray(const CCArray& other);
    CCArray(CCArray&& other) noexcept;
    ~CCArray() override {}

    CCArray& operator=(const char* psz);
    CCArray& operator=(const CCArray& other);
    CCArray& operator=(CCArray&& other) noexcept;

    // Appending another string appends its text (not its terminator).
    void AppendArray(const CArrayObjBase<char, char>& other) override;

    // The text; never null (a constant empty text while nCount is 0).
    const char* GetString() const { return nCount > 0 ? pData : ""; }
    // Characters without the terminator.
    int32_t GetLength() const { return nCount > 0 ? nCount - 1 : 0; }
    bool IsEmpty() const { return nCount <= 1; }

    // Becomes the n characters at p.
    void SetText(const char* p, int32_t n);
    void SetText(const char* psz);
    // SetText limited to the first nMax characters when nMax >= 0.
    void SetTextMax(const char* psz, int32_t nMax);

    // Appends n characters (nothing for n = 0). p may point into this string.
    void AppendData(const char* p, int32_t n) override;
    void Append(const char* p, int32_t n) { AppendData(p, n); }
    // Appends a whole zero-terminated text; nothing for null.
    void Append(const char* psz);
    void Append(const CCArray& other) { AppendData(other.GetString(), other.GetLength()); }
    void AppendChar(char ch) { AppendData(&ch, 1); }

    // Inserts n characters at nPos (at most the length).
    void Insert(int32_t nPos, const char* p, int32_t n);
    // Removes n characters at nPos; the range lies inside the text.
    void Delete(int32_t nPos, int32_t n) { RemoveAt(nPos, n); }

    // printf-style formatting; the result is cut to its first 999 characters.
    void Format(const char* pszFormat, ...)
#ifdef __GNUC__
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void FormatV(const char* pszFormat, va_list args);

    // Index of the first occurrence of pszSub at or after nStart; -1 when absent or when nStart
    // is negative or not below nCount.
    int32_t Find(const char* pszSub, int32_t nStart = 0) const;
    // Index of the first occurrence of ch at or after nStart, with the same rules.
    int32_t FindChar(char ch, int32_t nStart = 0) const;
    // Index of the last occurrence of ch; -1 when absent.
    int32_t ReverseFind(char ch) const;

    void ReplaceChar(char chOld, char chNew);
    // Replaces every non-overlapping occurrence of pszFind, left to right, by pszWith (null:
    // removes it). False, with the text unchanged, when pszFind is empty or absent.
    bool Replace(const char* pszFind, const char* pszWith);

    // Becomes the first n characters of src (n negative or too large: all of it).
    void Left(const CCArray& src, int32_t n);
    // Becomes n characters of src from nStart (n negative or too large: to the end); a start
    // outside src leaves this string unchanged.
    void Mid(const CCArray& src, int32_t nStart, int32_t n = -1);
    // Mid over a zero-terminated text; nothing changes for n below -1 either.
    void MidText(const char* psz, int32_t nStart, int32_t n = -1);
    // Pointer to the last n characters.
    const char* RightPtr(int32_t n) const;

    // Strips leading and trailing tab, LF, CR and space.
    void Trim();
    // A-Z to a-z in place.
    void MakeLower();
    // Cuts the text to nLength characters when 0 <= nLength < the length.
    void Truncate(int32_t nLength);

    // Takes over the other string's storage; the other is left empty without storage.
    void Attach(CCArray& other);

    CCArray& operator+=(const char* psz)
    {
        Append(psz);
        return *this;
    }
    CCArray& operator+=(const CCArray& other)
    {
        Append(other);
        return *this;
    }
    CCArray& operator+=(char ch)
    {
        AppendChar(ch);
        return *this;
    }
};

CCArray operator+(const CCArray& a, const char* psz);
CCArray operator+(const char* psz, const CCArray& b);
CCArray operator+(const CCArray& a, char ch);
CCArray operator+(const CCArray& a, const CCArray& b);

// NoCase.h: comparisons of 8-bit texts that ignore the case of ASCII letters only, as header
// names, cookie attributes and connection tokens are compared.
#pragma once

#include <cstring>

inline char AsciiLower(char ch)
{
    return ch >= 'A' && ch <= 'Z' ? (char)(ch + ('a' - 'A')) : ch;
}

inline bool StartsWithNoCase(const char* psz, const char* pszPrefix)
{
    for (; *pszPrefix; psz++, pszPrefix++)
        if (AsciiLower(*psz) != AsciiLower(*pszPrefix))
            return false;
    return true;
}

inline bool EqualsNoCase(const char* a, const char* b)
{
    return StartsWithNoCase(a, b) && a[strlen(b)] == 0;
}

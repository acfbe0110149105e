// Base64.cpp: Base64 encoding for the Authorization and Proxy-Authorization lines.
#include "agent/Base64.h"

#include <cstring>

void Base64Encode(const void* pData, int32_t nLength, CCArray& strOut)
{
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned char* p = (const unsigned char*)pData;
    strOut.SetText("", 0);
    for (int32_t i = 0; i < nLength; i += 3)
    {
        uint32_t n = (uint32_t)p[i] << 16;
        int32_t nLeft = nLength - i;
        if (nLeft > 1)
            n |= (uint32_t)p[i + 1] << 8;
        if (nLeft > 2)
            n |= p[i + 2];
        char quad[4] = {ALPHABET[n >> 18 & 63], ALPHABET[n >> 12 & 63],
                        nLeft > 1 ? ALPHABET[n >> 6 & 63] : '=', nLeft > 2 ? ALPHABET[n & 63] : '='};
        strOut.Append(quad, 4);
    }
}

CCArray MakeBasicCredentials(const char* pszUser, const char* pszPassword)
{
    CCArray strPlain(pszUser ? pszUser : "");
    strPlain.AppendChar(':');
    strPlain.Append(pszPassword);
    CCArray strEncoded;
    Base64Encode(strPlain.GetString(), strPlain.GetLength(), strEncoded);
    CCArray strOut("Basic ");
    strOut.Append(strEncoded);
    return strOut;
}

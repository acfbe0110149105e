// Base64.h: Base64 (RFC 4648 alphabet, '=' padding) and the Basic credentials built with it.
#pragma once

#include "foundation/CharArray.h"

void Base64Encode(const void* pData, int32_t nLength, CCArray& strOut);
// "Basic " and the Base64 of user + ":" + password.
CCArray MakeBasicCredentials(const char* pszUser, const char* pszPassword);

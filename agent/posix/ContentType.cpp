// ContentType.cpp (POSIX): content types from a small built-in table, since there is no registry
// of them to ask.
#include <cstring>

#include "agent/FormBody.h"
#include "agent/NoCase.h"

void GetContentType(const char* pszExtension, CCArray& strOut)
{
    static const char* const TYPES[][2] = {
        {"txt", "text/plain"}, {"htm", "text/html"},       {"html", "text/html"},
        {"xml", "text/xml"},   {"zip", "application/zip"}, {"gif", "image/gif"},
        {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},     {"png", "image/png"},
    };
    if (pszExtension && *pszExtension)
        for (const auto& type : TYPES)
            if (EqualsNoCase(pszExtension, type[0]))
            {
                strOut = type[1];
                return;
            }
    strOut = "application/octet-stream";
}

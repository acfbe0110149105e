// ContentType.cpp (Windows): content types as the system registers them under HKEY_CLASSES_ROOT.
#include <windows.h>

#include <cstdio>

#include "agent/FormBody.h"

void GetContentType(const char* pszExtension, CCArray& strOut)
{
    if (pszExtension && *pszExtension)
    {
        char szKey[MAX_PATH];
        snprintf(szKey, sizeof(szKey), ".%s", pszExtension);
        HKEY hKey;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, szKey, 0, KEY_QUERY_VALUE, &hKey) == ERROR_SUCCESS)
        {
            char szType[256];
            DWORD nSize = sizeof(szType) - 1;
            DWORD nType = 0;
            LONG nResult = RegQueryValueExA(hKey, "Content Type", nullptr, &nType, (BYTE*)szType, &nSize);
            RegCloseKey(hKey);
            if (nResult == ERROR_SUCCESS && nType == REG_SZ)
            {
                szType[nSize < sizeof(szType) ? nSize : sizeof(szType) - 1] = 0;
                strOut = szType;
                return;
            }
        }
    }
    strOut = "application/octet-stream";
}

// CrashReportKey.cpp: the crash-report key of the current user.
#include "crash/CrashReportKey.h"

#include <cstdlib>

HKEY OpenCrashReportKey()
{
    static const char* const levels[] = {"Software", "Orvane", "dumpsend.dll"};
    HKEY hKey = HKEY_CURRENT_USER;
    for (const char* pszLevel : levels)
    {
        HKEY hNext = nullptr;
        LONG nResult = RegCreateKeyExA(hKey, pszLevel, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                       nullptr, &hNext, nullptr);
        if (hKey != HKEY_CURRENT_USER)
            RegCloseKey(hKey);
        if (nResult != ERROR_SUCCESS)
            return nullptr;
        hKey = hNext;
    }
    return hKey;
}

namespace
{
bool ReadDword(const char* pszName, uint32_t& nValue)
{
    HKEY hKey = OpenCrashReportKey();
    if (!hKey)
        return false;
    DWORD nSize = sizeof(nValue);
    DWORD nType = 0;
    LONG nResult = RegQueryValueExA(hKey, pszName, nullptr, &nType, (BYTE*)&nValue, &nSize);
    RegCloseKey(hKey);
    return nResult == ERROR_SUCCESS && nSize == sizeof(nValue);
}
} // namespace

uint32_t GetReporterId()
{
    uint32_t nId = 0;
    if (ReadDword("UUID", nId))
        return nId;
    // Not a real UUID: the generator is never seeded, so the high half is the same for everybody
    // and the tick count makes the difference.
    nId = ((uint32_t)rand() << 16) | (GetTickCount() & 0xFFFF);
    WriteCrashReportSwitch("UUID", nId);
    return nId;
}

uint32_t ReadCrashReportSwitch(const char* pszName)
{
    uint32_t nValue = 0;
    return ReadDword(pszName, nValue) ? nValue : 0;
}

void WriteCrashReportSwitch(const char* pszName, uint32_t nValue)
{
    HKEY hKey = OpenCrashReportKey();
    if (!hKey)
        return;
    DWORD nData = nValue;
    RegSetValueExA(hKey, pszName, 0, REG_DWORD, (const BYTE*)&nData, sizeof(nData));
    RegCloseKey(hKey);
}

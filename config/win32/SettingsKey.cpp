// SettingsKey.cpp (Windows): the settings key in the registry of the current user.
#include "config/SettingsStore.h"

#include <cstring>

namespace
{
const char szDefaultKeyPath[] = "Software\\Kestrel Co\\Tollgate";

CCArray s_strKeyPath; // empty: the default key

// A value can change size between asking for its size and reading it; a few tries settle that.
const int READ_TRIES = 4;
} // namespace

void SetSettingsStorePath(const char* pszPath)
{
    s_strKeyPath = pszPath;
}

void GetSettingsStorePath(CCArray& strPath)
{
    strPath = s_strKeyPath.IsEmpty() ? CCArray(szDefaultKeyPath) : s_strKeyPath;
}

SETTINGSKEY OpenSettingsKey()
{
    // Each level in turn ("Software", "Kestrel Co", "Tollgate"), created when missing, with full
    // access and kept across restarts. The levels above the last are closed at once.
    CCArray strPath;
    GetSettingsStorePath(strPath);
    HKEY hKey = HKEY_CURRENT_USER;
    const char* p = strPath.GetString();
    CCArray strLevel;
    while (*p != 0)
    {
        const char* pEnd = strchr(p, '\\');
        if (pEnd == nullptr)
            pEnd = p + strlen(p);
        strLevel.SetText(p, (int32_t)(pEnd - p));
        p = *pEnd != 0 ? pEnd + 1 : pEnd;
        if (strLevel.IsEmpty())
            continue;
        HKEY hNext = nullptr;
        DWORD dwDisposition;
        LONG nResult = RegCreateKeyExA(hKey, strLevel.GetString(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_ALL_ACCESS, nullptr, &hNext, &dwDisposition);
        if (hKey != HKEY_CURRENT_USER)
            RegCloseKey(hKey);
        if (nResult != ERROR_SUCCESS)
            return nullptr;
        hKey = hNext;
    }
    return hKey != HKEY_CURRENT_USER ? hKey : nullptr;
}

bool CloseSettingsKey(SETTINGSKEY hKey)
{
    return hKey != nullptr && RegCloseKey(hKey) == ERROR_SUCCESS;
}

bool ReadSettingsValue(SETTINGSKEY hKey, const char* pszName, CByteArray& data)
{
    data.SetSize(0);
    if (hKey == nullptr)
        return false;
    for (int nTry = 0; nTry < READ_TRIES; nTry++)
    {
        DWORD dwSize = 0;
        if (RegQueryValueExA(hKey, pszName, nullptr, nullptr, nullptr, &dwSize) != ERROR_SUCCESS)
            return false;
        // One byte more than the value, so that a string stored without its terminator still
        // ends in a zero byte behind the value (not counted in its size).
        data.SetSize((int32_t)dwSize + 1);
        memset(data.pData, 0, dwSize + 1);
        DWORD dwRead = dwSize;
        LONG nResult = RegQueryValueExA(hKey, pszName, nullptr, nullptr, data.pData, &dwRead);
        if (nResult == ERROR_SUCCESS)
        {
            data.SetSize((int32_t)dwRead);
            return true;
        }
        if (nResult != ERROR_MORE_DATA)
            break;
    }
    data.SetSize(0);
    return false;
}

bool WriteSettingsValue(SETTINGSKEY hKey, const char* pszName, uint32_t nType, const void* pData,
                        uint32_t nSize)
{
    if (hKey == nullptr)
        return false;
    static const BYTE bEmpty = 0;
    return RegSetValueExA(hKey, pszName, 0, nType, nSize > 0 ? (const BYTE*)pData : &bEmpty, nSize) ==
           ERROR_SUCCESS;
}

void GetSettingsStoreTrouble(CCArray& strWhy)
{
    // The registry opens or it does not; a value of the wrong size is the reader's to judge.
    strWhy.SetText("", 0);
}

// SettingsStore.cpp: the settings record to and from the values of the settings key.
//
// Reading differs from a fixed-size read in one respect: every value is read whole, with a buffer
// as large as the value. So nothing a user can enter is lost or misread:
//   - "IP Ranges" of any length loads back whole (a fixed 512-byte read would drop a list of more
//     than 64 ranges altogether);
//   - "Log Folder" and "Socks5 Userid" are taken whole, up to their first zero byte or, when the
//     stored bytes have no terminator, up to the end of the value;
//   - a 33-byte "Socks5 Password" whose deciphered bytes hold no zero byte (the program never
//     writes one) loads as the empty password: a password that cannot be read back reliably
//     never becomes a credential.
// Sizes that the format fixes (4 bytes for integers, 16 for the service address, 33 or 0 for the
// password, multiples of 8 for the ranges) are checked exactly as before.
//
// A restriction fails closed: "IP Filter" on over an "IP Ranges" value that cannot be read keeps
// the filter on with no range (nobody is admitted), and "Socks5 Auth" on over a "Socks5 Password"
// value that cannot be read keeps authentication on with the empty password (no SOCKS5 client
// gets in). The derived rules switch a restriction off only over a value that was read and is
// empty (or absent).
#include "config/SettingsStore.h"

#include <cstring>

#include "config/Paths.h"
#include "config/Rc5.h"

namespace
{
const char szAutoStart[] = "Auto Start";
const char szServiceAddress[] = "Service Address";
const char szSocks5[] = "Socks5";
const char szSocks4[] = "Socks4";
const char szLogFolder[] = "Log Folder";
const char szLog[] = "Log";
const char szIpRanges[] = "IP Ranges";
const char szIpFilter[] = "IP Filter";
const char szSocks5Userid[] = "Socks5 Userid";
const char szSocks5Password[] = "Socks5 Password";
const char szSocks5Auth[] = "Socks5 Auth";
const char szConnectionLimit[] = "Connection Limit";
const char szSetOnce[] = "setonce";

enum
{
    PASSWORD_VALUE_SIZE = 33, // four enciphered 8-byte blocks and one plain byte
    PASSWORD_BLOCKS = 4,
    SERVICE_ADDRESS_SIZE = 16,
    RANGE_SIZE = 8,
};

uint32_t LoadLe32(const unsigned char* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void StoreLe32(unsigned char* p, uint32_t x)
{
    p[0] = (unsigned char)x;
    p[1] = (unsigned char)(x >> 8);
    p[2] = (unsigned char)(x >> 16);
    p[3] = (unsigned char)(x >> 24);
}

// Overwrites a buffer that held the password; the volatile stores cannot be dropped.
void Wipe(void* p, size_t n)
{
    volatile unsigned char* pv = (volatile unsigned char*)p;
    for (size_t i = 0; i < n; i++)
        pv[i] = 0;
}

// A 32-bit integer taken only when the value has exactly 4 bytes.
int32_t ReadInt32(SETTINGSKEY hKey, const char* pszName, int32_t nDefault, CByteArray& buf)
{
    if (ReadSettingsValue(hKey, pszName, buf) && buf.GetSize() == 4)
        return (int32_t)LoadLe32(buf.pData);
    return nDefault;
}

// The text up to the first zero byte, or all the bytes when there is none.
void TakeText(const CByteArray& buf, CCArray& str)
{
    const char* p = (const char*)buf.pData;
    int32_t n = buf.GetSize();
    const void* pZero = n > 0 ? memchr(p, 0, (size_t)n) : nullptr;
    if (pZero != nullptr)
        n = (int32_t)((const char*)pZero - p);
    str.SetText(n > 0 ? p : "", n);
}

bool WriteInt32(SETTINGSKEY hKey, const char* pszName, int32_t nValue)
{
    unsigned char ab[4];
    StoreLe32(ab, (uint32_t)nValue);
    return WriteSettingsValue(hKey, pszName, SETTINGS_TYPE_BINARY, ab, 4);
}

bool WriteString(SETTINGSKEY hKey, const char* pszName, const CCArray& str)
{
    return WriteSettingsValue(hKey, pszName, SETTINGS_TYPE_SZ, str.GetString(),
                              (uint32_t)str.GetLength() + 1);
}

// What the last LoadServiceAddress found: the value's size, -1 for none.
int32_t s_nLoadedAddressSize = -1;

void LoadServiceAddress(SETTINGSKEY hKey, sockaddr_in& addr, CByteArray& buf)
{
    memset(&addr, 0, sizeof(addr));
    bool bRead = ReadSettingsValue(hKey, szServiceAddress, buf);
    s_nLoadedAddressSize = bRead ? buf.GetSize() : -1;
    if (bRead && buf.GetSize() == SERVICE_ADDRESS_SIZE)
    {
        // The Windows Sockets record as it lies in memory: family (16-bit, little-endian), port
        // and address in network order, 8 zero bytes. Copied field by field, so that the layout
        // of the platform's own sockaddr_in does not matter.
        memcpy(&addr.sin_port, buf.pData + 2, 2);
        memcpy(&addr.sin_addr, buf.pData + 4, 4);
        memcpy(addr.sin_zero, buf.pData + 8, 8);
    }
    else
    {
        addr.sin_port = htons(SETTINGS_DEFAULT_PORT);
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    // Whatever family was stored, the server listens on IPv4.
    addr.sin_family = AF_INET;
}

bool SaveServiceAddress(SETTINGSKEY hKey, const sockaddr_in& addr)
{
    unsigned char ab[SERVICE_ADDRESS_SIZE];
    ab[0] = (unsigned char)addr.sin_family;
    ab[1] = (unsigned char)(addr.sin_family >> 8);
    memcpy(ab + 2, &addr.sin_port, 2);
    memcpy(ab + 4, &addr.sin_addr, 4);
    memcpy(ab + 8, addr.sin_zero, 8);
    return WriteSettingsValue(hKey, szServiceAddress, SETTINGS_TYPE_BINARY, ab, sizeof(ab));
}

// Deciphers a 33-byte password value; a value of 0 bytes is the empty password. False when the
// value cannot be read: any other size, or 33 bytes without a zero byte after deciphering. The
// password is then empty.
bool LoadPassword(CByteArray& buf, CCArray& strPassword)
{
    strPassword.SetText("", 0);
    if (buf.GetSize() == 0)
        return true;
    if (buf.GetSize() != PASSWORD_VALUE_SIZE)
        return false;
    DecipherBlocks(g_szPasswordKey, buf.pData, PASSWORD_BLOCKS);
    const void* pZero = memchr(buf.pData, 0, PASSWORD_VALUE_SIZE);
    if (pZero != nullptr)
        strPassword.SetText((const char*)buf.pData, (int32_t)((const unsigned char*)pZero - buf.pData));
    Wipe(buf.pData, PASSWORD_VALUE_SIZE);
    return pZero != nullptr;
}

// The password block: the text and its terminator from the first byte on, zeros after it, the
// first 32 bytes enciphered. A password longer than 32 characters cannot be stored in the block;
// the Options sheet never lets one through, and any other caller's is cut to its first 32
// characters rather than running past the block (keeping authentication on with a shorter
// password instead of dropping the password and opening the proxy).
bool SavePassword(SETTINGSKEY hKey, const CCArray& strPassword)
{
    if (strPassword.GetLength() == 0)
        return WriteSettingsValue(hKey, szSocks5Password, SETTINGS_TYPE_BINARY, "", 0);
    unsigned char ab[PASSWORD_VALUE_SIZE];
    memset(ab, 0, sizeof(ab));
    size_t nLength = (size_t)strPassword.GetLength();
    if (nLength > SETTINGS_MAX_PASSWORD)
        nLength = SETTINGS_MAX_PASSWORD;
    memcpy(ab, strPassword.GetString(), nLength);
    EncipherBlocks(g_szPasswordKey, ab, PASSWORD_BLOCKS);
    bool bOk = WriteSettingsValue(hKey, szSocks5Password, SETTINGS_TYPE_BINARY, ab, sizeof(ab));
    Wipe(ab, sizeof(ab));
    return bOk;
}
} // namespace

void LoadSettings(SSettings& settings)
{
    SETTINGSKEY hKey = OpenSettingsKey();
    CByteArray buf(256);

    settings.bAutoStart = ReadInt32(hKey, szAutoStart, 1, buf);
    LoadServiceAddress(hKey, settings.addrService, buf);
    settings.bSocks5 = ReadInt32(hKey, szSocks5, 1, buf);
    settings.bSocks4 = ReadInt32(hKey, szSocks4, 1, buf);

    if (ReadSettingsValue(hKey, szLogFolder, buf))
        TakeText(buf, settings.strLogFolder);
    else
    {
        GetDefaultLogFolder(settings.strLogFolder);
        CreateFolderPath(settings.strLogFolder.GetString());
    }

    settings.bLog = ReadInt32(hKey, szLog, 0, buf);
    if (settings.strLogFolder.GetLength() == 0)
        settings.bLog = 0;

    settings.arrIpRanges.RemoveAll();
    settings.bIpRangesUnreadable = 0;
    bool bRangesRead = ReadSettingsValue(hKey, szIpRanges, buf);
    if (bRangesRead && buf.GetSize() % RANGE_SIZE != 0)
        settings.bIpRangesUnreadable = 1;
    else if (bRangesRead)
    {
        for (int32_t i = 0; i < buf.GetSize(); i += RANGE_SIZE)
        {
            IP_RANGE2* pRange = new IP_RANGE2;
            pRange->dwFirst = LoadLe32(buf.pData + i);
            pRange->dwLast = LoadLe32(buf.pData + i + 4);
            settings.arrIpRanges.Add(pRange);
        }
    }

    settings.bIpFilter = ReadInt32(hKey, szIpFilter, 0, buf);
    if (settings.arrIpRanges.GetSize() == 0 && !settings.bIpRangesUnreadable)
        settings.bIpFilter = 0;

    if (ReadSettingsValue(hKey, szSocks5Userid, buf))
        TakeText(buf, settings.strSocks5Userid);

    settings.bPasswordUnreadable = 0;
    if (ReadSettingsValue(hKey, szSocks5Password, buf) && !LoadPassword(buf, settings.strSocks5Password))
        settings.bPasswordUnreadable = 1;

    settings.bSocks5Auth = ReadInt32(hKey, szSocks5Auth, 0, buf);
    if (settings.strSocks5Userid.GetLength() == 0 ||
        (settings.strSocks5Password.GetLength() == 0 && !settings.bPasswordUnreadable))
        settings.bSocks5Auth = 0;

    int32_t nLimit = ReadInt32(hKey, szConnectionLimit, SETTINGS_MAX_CONNECTIONS, buf);
    if (nLimit < 1 || nLimit > SETTINGS_MAX_CONNECTIONS)
        nLimit = SETTINGS_MAX_CONNECTIONS;
    StoreLiveSetting(nConnectionLimit, nLimit); // a reload loads while the listener reads it

    if (hKey != nullptr)
        CloseSettingsKey(hKey);
}

bool SaveSettings(const SSettings& settings)
{
    SETTINGSKEY hKey = OpenSettingsKey();
    if (hKey == nullptr)
        return false;

    bool bOk = WriteInt32(hKey, szAutoStart, settings.bAutoStart);
    bOk &= SaveServiceAddress(hKey, settings.addrService);
    bOk &= WriteInt32(hKey, szSocks5, settings.bSocks5);
    bOk &= WriteInt32(hKey, szSocks4, settings.bSocks4);
    bOk &= WriteString(hKey, szLogFolder, settings.strLogFolder);
    bOk &= WriteInt32(hKey, szLog, settings.bLog);

    // A restriction still standing on a value that could not be read keeps that value: written
    // as the empty stand-in it would load as "nothing to restrict" (see the top of this file).
    const CArrayPtr<IP_RANGE2>& arr = settings.arrIpRanges;
    if (!IsRangesValueKept(settings))
    {
        CByteArray ranges(RANGE_SIZE);
        ranges.SetSize(arr.GetSize() * RANGE_SIZE);
        for (int32_t i = 0; i < arr.GetSize(); i++)
        {
            StoreLe32(ranges.pData + i * RANGE_SIZE, arr.pData[i]->dwFirst);
            StoreLe32(ranges.pData + i * RANGE_SIZE + 4, arr.pData[i]->dwLast);
        }
        bOk &= WriteSettingsValue(hKey, szIpRanges, SETTINGS_TYPE_BINARY,
                                  ranges.GetSize() > 0 ? ranges.pData : nullptr, (uint32_t)ranges.GetSize());
    }

    bOk &= WriteInt32(hKey, szIpFilter, settings.bIpFilter);
    bOk &= WriteString(hKey, szSocks5Userid, settings.strSocks5Userid);
    if (!IsPasswordValueKept(settings))
        bOk &= SavePassword(hKey, settings.strSocks5Password);
    bOk &= WriteInt32(hKey, szSocks5Auth, settings.bSocks5Auth);
    bOk &= WriteInt32(hKey, szConnectionLimit, nConnectionLimit);

    bOk &= CloseSettingsKey(hKey);
    return bOk;
}

int32_t GetLoadedServiceAddressSize()
{
    return s_nLoadedAddressSize;
}

bool IsFirstRun()
{
    // A key that cannot be opened reads as a first run, as its settings are the defaults too.
    SETTINGSKEY hKey = OpenSettingsKey();
    CByteArray buf;
    bool bExisted = ReadSettingsValue(hKey, szSetOnce, buf);
    WriteInt32(hKey, szSetOnce, 1);
    if (hKey != nullptr)
        CloseSettingsKey(hKey);
    return !bExisted;
}

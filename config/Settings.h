// Settings.h: the settings record of the proxy and the program-wide connection limit.
//
// The record is read by the server's threads at each check, changed only by the Options sheet and
// persisted as a whole by the settings store (config/SettingsStore.h). Flags are 32-bit integers:
// 0 is off, any other value is on.
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/CharArray.h"
#include "platform/Platform.h"

// One allowed client address range: the lowest and the highest IPv4 address, each in host byte
// order so that numeric order is address order. A single address has dwFirst == dwLast.
struct IP_RANGE2
{
    uint32_t dwFirst;
    uint32_t dwLast;
};

// Limits of the values the Options sheet lets a user enter.
enum
{
    SETTINGS_DEFAULT_PORT = 1080,
    SETTINGS_MAX_CONNECTIONS = 9999, // also the default connection limit
    SETTINGS_MAX_USERID = 255,       // characters
    SETTINGS_MAX_PASSWORD = 32,      // characters
};

struct SSettings
{
    // Empty: flags 0, address all zero, empty strings, no ranges.
    SSettings();

    int32_t bAutoStart;
    sockaddr_in addrService; // family, port and address in network order, 8 zero bytes
    int32_t bSocks5;
    int32_t bSocks4;
    int32_t bLog;
    CCArray strLogFolder;
    CArrayPtr<IP_RANGE2> arrIpRanges;
    int32_t bIpFilter;
    int32_t bSocks5Auth;
    CCArray strSocks5Userid;
    CCArray strSocks5Password;
    // Set by LoadSettings when the stored value exists but cannot be read (an "IP Ranges" value
    // whose size is no multiple of 8; a "Socks5 Password" value of a wrong size, or one without
    // its terminator). A restriction switched on over such a value stays on with nothing to
    // match, and so admits nobody: dropping it would admit everybody. SaveSettings then leaves the
    // stored value alone, so that a save does not turn the unreadable value into a readable
    // empty one that switches the restriction off at the next start.
    int32_t bIpRangesUnreadable;
    int32_t bPasswordUnreadable;

private:
    SSettings(const SSettings&) = delete;
    SSettings& operator=(const SSettings&) = delete;
};

// True while a restriction is switched on over a stored value that could not be read and nothing
// has replaced that value since (an --allow, a new password): the restriction admits nobody, and
// SaveSettings leaves the stored value as it is.
bool IsRangesValueKept(const SSettings& settings);
bool IsPasswordValueKept(const SSettings& settings);

// The live settings of the program and its connection limit (1 to 9999).
extern SSettings g_settings;
extern int32_t nConnectionLimit;

// The switches and the limit that the listener and the session threads read without a lock
// (g_settings.bIpFilter, bSocks4, bSocks5, bSocks5Auth, and nConnectionLimit) change while they
// run: a reload of the headless proxy, the Options sheet's Apply. Writers store them with
// StoreLiveSetting and the checks read them with LoadLiveSetting, so a check sees the old value or
// the new one and never a data race. The store releases and the load acquires: a check that sees
// a switch on also sees what was put in place before it (the ranges, the credentials, which have
// locks of their own besides).
inline int32_t LoadLiveSetting(const int32_t& nSetting)
{
    return __atomic_load_n(&nSetting, __ATOMIC_ACQUIRE);
}
inline void StoreLiveSetting(int32_t& nSetting, int32_t nValue)
{
    __atomic_store_n(&nSetting, nValue, __ATOMIC_RELEASE);
}

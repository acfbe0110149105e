// Settings.cpp: the live settings record and the connection limit.
#include "config/Settings.h"

#include <cstring>

SSettings g_settings;
// Before the settings are loaded the limit already has its default, so that nothing that runs
// early (or a test of the engine alone) meets a limit of 0.
int32_t nConnectionLimit = SETTINGS_MAX_CONNECTIONS;

SSettings::SSettings()
    : bAutoStart(0), bSocks5(0), bSocks4(0), bLog(0), bIpFilter(0), bSocks5Auth(0), bIpRangesUnreadable(0),
      bPasswordUnreadable(0)
{
    memset(&addrService, 0, sizeof(addrService));
}

bool IsRangesValueKept(const SSettings& settings)
{
    return settings.bIpFilter && settings.bIpRangesUnreadable && settings.arrIpRanges.GetSize() == 0;
}

bool IsPasswordValueKept(const SSettings& settings)
{
    return settings.bSocks5Auth && settings.bPasswordUnreadable && settings.strSocks5Password.GetLength() == 0;
}

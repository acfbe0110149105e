// HeadlessStore.cpp (Windows): the registry key needs no comments, and keeps its own defaults.
#include "headless/HeadlessStore.h"

#include "config/Settings.h"
#include "config/SettingsStore.h"

bool SettingsStoreExists()
{
    return true;
}

bool SaveHeadlessSettings()
{
    return SaveSettings(g_settings);
}

bool StoredAddressUsable(CCArray& strWhy)
{
    strWhy.SetText("", 0);
    return true;
}

// HeadlessStore.cpp (POSIX): the settings file, saved with its comments.
#include "headless/HeadlessStore.h"

#include "config/Settings.h"
#include "config/SettingsStore.h"

bool SettingsStoreExists()
{
    CCArray strPath;
    GetSettingsStorePath(strPath);
    return strPath.IsEmpty() || SysPathTaken(strPath.GetString());
}

bool StoredAddressUsable(CCArray& strWhy)
{
    strWhy.SetText("", 0);
    int32_t nSize = GetLoadedServiceAddressSize();
    if (nSize == 16)
        return true;
    CCArray strPath, strTrouble;
    GetSettingsStorePath(strPath);
    GetSettingsStoreTrouble(strTrouble);
    if (strPath.IsEmpty())
        strWhy = "there is no settings file: neither XDG_CONFIG_HOME nor HOME is set";
    else if (!strTrouble.IsEmpty())
        strWhy.Format("the settings file %s cannot be used (%s)", strPath.GetString(), strTrouble.GetString());
    else if (nSize >= 0)
        strWhy.Format("the \"Service Address\" of %s has %d bytes, not 16", strPath.GetString(), (int)nSize);
    else if (SysPathTaken(strPath.GetString()))
        strWhy.Format("%s has no \"Service Address\"", strPath.GetString());
    return false;
}

// The store writes the file once, with the comment lines above the values they explain; only
// this save carries them, other writes of the store (the first-run marker) leave them out.
bool SaveHeadlessSettings()
{
    SetSettingsFileComments(SettingComments());
    bool bOk = SaveSettings(g_settings);
    SetSettingsFileComments(nullptr);
    return bOk;
}

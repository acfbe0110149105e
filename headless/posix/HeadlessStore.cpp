// HeadlessStore.cpp (POSIX): the settings file, saved with its comments.
#include "headless/HeadlessStore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/Settings.h"
#include "config/SettingsStore.h"

namespace
{
bool ReadText(const char* pszPath, CCArray& strText)
{
    FILE* pFile = fopen(pszPath, "rb");
    if (pFile == nullptr)
        return false;
    strText.SetText("", 0);
    char ab[16384];
    size_t n;
    while ((n = fread(ab, 1, sizeof(ab), pFile)) > 0)
        strText.Append(ab, (int32_t)n);
    bool bOk = !ferror(pFile);
    fclose(pFile);
    return bOk;
}
} // namespace

bool SettingsStoreExists()
{
    CCArray strPath;
    GetSettingsStorePath(strPath);
    struct stat st;
    return strPath.IsEmpty() || lstat(strPath.GetString(), &st) == 0;
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
    struct stat st;
    if (strPath.IsEmpty())
        strWhy = "there is no settings file: neither XDG_CONFIG_HOME nor HOME is set";
    else if (!strTrouble.IsEmpty())
        strWhy.Format("the settings file %s cannot be used (%s)", strPath.GetString(), strTrouble.GetString());
    else if (nSize >= 0)
        strWhy.Format("the \"Service Address\" of %s has %d bytes, not 16", strPath.GetString(), (int)nSize);
    else if (lstat(strPath.GetString(), &st) == 0)
        strWhy.Format("%s has no \"Service Address\"", strPath.GetString());
    return false;
}

// The store writes the values; the commented text then replaces the file the same way the store
// replaces it (a new file of this process's own, flushed, renamed over the old one).
bool SaveHeadlessSettings()
{
    if (!SaveSettings(g_settings))
        return false;
    CCArray strPath, strText, strCommented;
    GetSettingsStorePath(strPath);
    if (!ReadText(strPath.GetString(), strText))
    {
        fprintf(stderr, "tollgated: the settings were saved to %s but cannot be read back: %s\n",
                strPath.GetString(), strerror(errno));
        return false;
    }
    AddSettingComments(strText.GetString(), strCommented);
    CCArray strNew;
    strNew.Format("%s.new-%ld", strPath.GetString(), (long)getpid());
    int fd = open(strNew.GetString(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool bOk = fd >= 0;
    if (bOk)
    {
        const char* p = strCommented.GetString();
        size_t nLeft = (size_t)strCommented.GetLength();
        while (bOk && nLeft > 0)
        {
            ssize_t n = write(fd, p, nLeft);
            if (n < 0 && errno == EINTR)
                continue;
            bOk = n > 0;
            if (bOk)
            {
                p += n;
                nLeft -= (size_t)n;
            }
        }
        bOk = bOk && fsync(fd) == 0;
        bOk = close(fd) == 0 && bOk;
        bOk = bOk && rename(strNew.GetString(), strPath.GetString()) == 0;
        if (!bOk)
            unlink(strNew.GetString());
    }
    // Without its comments the file saved by the store is still whole and correct.
    if (!bOk)
        fprintf(stderr, "tollgated: the comments could not be added to %s: %s\n", strPath.GetString(),
                strerror(errno));
    return true;
}

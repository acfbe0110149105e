// Service.cpp: the headless proxy's warnings, reload and state.
#include "headless/Service.h"

#include <cinttypes>
#include <cstring>

#include "config/Paths.h"
#include "config/SettingsStore.h"
#include "engine/Host.h"
#include "foundation/TextHelpers.h"
#include "headless/HeadlessStore.h"
#include "logging/HtmlReport.h"

namespace
{
void AddressText(const sockaddr_in& sa, CCArray& strOut)
{
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(&sa.sin_addr);
    strOut.Format("%u.%u.%u.%u:%u", pb[0], pb[1], pb[2], pb[3], (unsigned)ntohs(sa.sin_port));
}

// The folder part of a path, with its trailing separator.
void FolderOf(const CCArray& strPath, CCArray& strFolder)
{
    const char* psz = strPath.GetString();
    const char* pSlash = strrchr(psz, '/');
#ifdef _WIN32
    const char* pBackslash = strrchr(psz, '\\');
    if (pBackslash != nullptr && (pSlash == nullptr || pBackslash > pSlash))
        pSlash = pBackslash;
#endif
    if (pSlash == nullptr)
        strFolder.SetText("", 0);
    else
        strFolder.SetText(psz, (int32_t)(pSlash - psz + 1));
}
} // namespace

void GetExposureWarnings(const SSettings& settings, CCArray& strWarnings)
{
    strWarnings.SetText("", 0);
    if (!settings.bSocks4 && !settings.bSocks5)
        return;
    uint32_t dwAddr = ntohl(settings.addrService.sin_addr.s_addr);
    bool bThisMachineOnly = (dwAddr >> 24) == 127;
    bool bSocks4Bypass = settings.bSocks5Auth && settings.bSocks4;
    bool bAuthInForce = settings.bSocks5Auth && !settings.bSocks4;
    if (!bThisMachineOnly && !settings.bIpFilter && !bAuthInForce)
    {
        CCArray strWhere;
        if (dwAddr == 0)
            strWhere = "every local address";
        else
        {
            AddressText(settings.addrService, strWhere);
            strWhere.Truncate(strWhere.FindChar(':'));
            strWhere += ", which other machines can reach,";
        }
        strWarnings.Format("Warning: open proxy: it serves %s and %s, so anyone who can reach the port can "
                           "use it; restrict it with --listen 127.0.0.1:1080, --allow, or --user with "
                           "--no-socks4 (add --save to keep them), or in the settings file.\n",
                           strWhere.GetString(),
                           bSocks4Bypass ? "SOCKS4 clients need no password"
                                         : "neither the IP filter nor authentication is on");
        return;
    }
    if (bSocks4Bypass)
        strWarnings = "Warning: SOCKS4 is on while SOCKS5 clients must give a password: SOCKS4 has no "
                      "password, so SOCKS4 clients pass without one; switch SOCKS4 off with --no-socks4 "
                      "(add --save to keep it), or with \"Socks4\"=hex:00,00,00,00 in the settings file.\n";
}

bool LoadForReload(const SHeadlessOptions& opt, SSettings& next, int32_t& nNextLimit, CCArray& strWhy)
{
    // LoadSettings sets the limit itself: the running one is put back until the reload applies.
    int32_t nRunningLimit = nConnectionLimit;
    LoadSettings(next);
    bool bUsable = StoredAddressUsable(strWhy);
    if (bUsable)
    {
        ApplyOptions(opt, next);
        nNextLimit = nConnectionLimit;
    }
    else if (strWhy.IsEmpty())
    {
        CCArray strPath;
        GetSettingsStorePath(strPath);
        strWhy.Format("the settings file %s is not there", strPath.GetString());
    }
    StoreLiveSetting(nConnectionLimit, nRunningLimit);
    return bUsable;
}

bool ApplyReloadedSettings(const SSettings& next, int32_t nNextLimit, CCArray& strRestartWhy)
{
    // In the order of the Options sheet (ui/DlgOptAccess.cpp, ui/DlgOptGeneral.cpp): a list is
    // in place before the filter that reads it is switched on, the credentials before the
    // authentication that compares them.
    CArraySimpleObj<IP_RANGE2, const IP_RANGE2&> arrRanges;
    for (int32_t i = 0; i < next.arrIpRanges.GetSize(); i++)
        arrRanges.Add(*next.arrIpRanges.pData[i]);
    ReplaceIpRanges(arrRanges.pData, arrRanges.GetSize());
    g_settings.bIpRangesUnreadable = next.bIpRangesUnreadable;
    StoreLiveSetting(g_settings.bIpFilter, next.bIpFilter);
    ReplaceCredentials(next.strSocks5Userid.GetString(), next.strSocks5Password.GetString());
    g_settings.bPasswordUnreadable = next.bPasswordUnreadable;
    StoreLiveSetting(g_settings.bSocks5Auth, next.bSocks5Auth);
    StoreLiveSetting(g_settings.bSocks5, next.bSocks5);
    StoreLiveSetting(g_settings.bSocks4, next.bSocks4);
    StoreLiveSetting(nConnectionLimit, nNextLimit);
    g_settings.bAutoStart = next.bAutoStart;

    // What the server captured at its start (engine/Host.h): a change needs a restart.
    strRestartWhy.SetText("", 0);
    const sockaddr_in& saOld = g_settings.addrService;
    const sockaddr_in& saNew = next.addrService;
    bool bLogOld = g_settings.bLog != 0, bLogNew = next.bLog != 0;
    // A stored port 0 serves any free port: a file that now names the port actually bound asks
    // for nothing new.
    const sockaddr_in& saBound = g_server.saListen;
    bool bServedNow = saNew.sin_port != 0 && saNew.sin_addr.s_addr == saBound.sin_addr.s_addr &&
                      saNew.sin_port == saBound.sin_port && IsServerRunning();
    if ((saOld.sin_addr.s_addr != saNew.sin_addr.s_addr || saOld.sin_port != saNew.sin_port) && !bServedNow)
    {
        CCArray strOld, strNew;
        AddressText(IsServerRunning() ? saBound : saOld, strOld); // what is served now
        AddressText(saNew, strNew);
        strRestartWhy.Format("the service address changed from %s to %s", strOld.GetString(), strNew.GetString());
    }
    else if (bLogOld != bLogNew)
        strRestartWhy = bLogNew ? "the session log was switched on" : "the session log was switched off";
    else if (bLogNew && strcmp(g_settings.strLogFolder.GetString(), next.strLogFolder.GetString()) != 0)
        strRestartWhy.Format("the log folder changed to %s", next.strLogFolder.GetString());
    g_settings.addrService = next.addrService;
    g_settings.bLog = next.bLog;
    g_settings.strLogFolder = next.strLogFolder;
    return !strRestartWhy.IsEmpty();
}

void WriteState(CCArray& strLine)
{
    CCArray strStarted;
    int64_t tStarted = g_server.tStarted;
    if (tStarted == 0 || !FormatTime(strStarted, tStarted, "%Y-%m-%d %H:%M:%S %z"))
        strStarted = "-";

    CCArray strFolder, strPath, strError, strSnapshot;
    if (g_server.logFile.IsOpen())
        FolderOf(g_server.logFile.GetFileName(), strFolder);
    else
    {
        strFolder = g_paths.strDataFolder;
        CreateFolderPath(strFolder.GetString());
    }
    strPath = strFolder + "Snapshot.html";
    EReportWrite eResult = WriteHtmlReportFile(strPath, strError);
    if (eResult == REPORT_WRITTEN)
        strSnapshot.Format("snapshot %s", strPath.GetString());
    else
        strSnapshot.Format("snapshot not written (%s %s: %s)",
                           eResult == REPORT_CREATE_FAILED ? "cannot create" : "cannot write", strPath.GetString(),
                           strError.GetString());

    strLine.Format("Statistics: started %s; active connections %d; source TCP %" PRIu64 " bytes, UDP %" PRIu64
                   " bytes; destination TCP %" PRIu64 " bytes, UDP %" PRIu64 " bytes; %s",
                   strStarted.GetString(), GetSessionCount(), ReadTraffic(g_traffic.nTcpClient),
                   ReadTraffic(g_traffic.nUdpClient), ReadTraffic(g_traffic.nTcpDest),
                   ReadTraffic(g_traffic.nUdpDest), strSnapshot.GetString());
}

// DlgOptGeneral.cpp: the General page of the Options sheet.
#include "ui/DlgOptGeneral.h"

#include <cstring>

#include "config/Paths.h"
#include "config/Settings.h"
#include "foundation/CharArray.h"
#include "resource.h"
#include "ui/OpenDocument.h"
#include "ui/WindowText.h"

const char CDlgOptGeneral::szAnyAddress[] = "all (unassigned)";

namespace
{
// The value name of the logon Run entry: the product name.
const char szRunValueName[] = "Tollgate";
} // namespace

CDlgOptGeneral::CDlgOptGeneral() : CPropPage("General", IDD_OPT_GENERAL) {}

INT_PTR CDlgOptGeneral::OnInitDialog()
{
    CheckItem(IDC_AUTOSTART, g_settings.bAutoStart != 0);

    HWND hAddress = GetItem(IDC_ADDRESS);
    SendMessageA(hAddress, CB_ADDSTRING, 0, (LPARAM)szAnyAddress);
    char szHost[257];
    if (gethostname(szHost, 256) == 0)
    {
        szHost[256] = 0;
        hostent* pHost = gethostbyname(szHost);
        for (int i = 0; pHost != nullptr && pHost->h_addrtype == AF_INET && pHost->h_addr_list[i] != nullptr;
             i++)
        {
            in_addr addr;
            memcpy(&addr, pHost->h_addr_list[i], sizeof(addr));
            SendMessageA(hAddress, CB_ADDSTRING, 0, (LPARAM)inet_ntoa(addr));
        }
    }
    if (g_settings.addrService.sin_addr.s_addr == 0)
        SetWindowTextA(hAddress, szAnyAddress);
    else
        SetWindowTextA(hAddress, inet_ntoa(g_settings.addrService.sin_addr));

    SetDlgItemInt(hWnd, IDC_PORT, ntohs(g_settings.addrService.sin_port), FALSE);
    CheckItem(IDC_SOCKS5, g_settings.bSocks5 != 0);
    CheckItem(IDC_SOCKS4, g_settings.bSocks4 != 0);

    SendDlgItemMessageA(hWnd, IDC_LIMIT_SPIN, UDM_SETBUDDY, (WPARAM)GetItem(IDC_LIMIT), 0);
    SendDlgItemMessageA(hWnd, IDC_LIMIT_SPIN, UDM_SETRANGE, 0, MAKELPARAM(SETTINGS_MAX_CONNECTIONS, 1));
    SetDlgItemInt(hWnd, IDC_LIMIT, nConnectionLimit, TRUE);

    CheckItem(IDC_LOG, g_settings.bLog != 0);
    SetItemText(IDC_LOG_FOLDER, g_settings.strLogFolder.GetString());
    UpdateEnabling();
    return TRUE;
}

INT_PTR CDlgOptGeneral::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED)
    {
        if (LOWORD(wParam) == IDC_LOG)
        {
            UpdateEnabling();
            return TRUE;
        }
        if (LOWORD(wParam) == IDC_BROWSE)
        {
            CCArray strFolder;
            GetWindowString(GetItem(IDC_LOG_FOLDER), strFolder);
            if (BrowseForFolder(hWnd, "Log file directory:", strFolder.GetString(), strFolder))
                SetItemText(IDC_LOG_FOLDER, strFolder.GetString());
            return TRUE;
        }
    }
    return CPropPage::OnMessage(nMsg, wParam, lParam);
}

void CDlgOptGeneral::UpdateEnabling()
{
    bool bLog = IsItemChecked(IDC_LOG);
    EnableItem(IDC_LOG_FOLDER_LABEL, bLog);
    EnableItem(IDC_LOG_FOLDER, bLog);
    EnableItem(IDC_BROWSE, bLog);
}

bool CDlgOptGeneral::Refuse(int nId, const char* pszText, UINT nIcon)
{
    ShowMessage(pszText, "Warning", MB_OK | nIcon);
    FocusItem(nId);
    return false;
}

bool CDlgOptGeneral::OnKillActive()
{
    CCArray strAddress;
    GetWindowString(GetItem(IDC_ADDRESS), strAddress);
    // inet_addr can't tell 255.255.255.255 from a failure, so that address is refused too.
    if (strcmp(strAddress.GetString(), szAnyAddress) != 0 && inet_addr(strAddress.GetString()) == INADDR_NONE)
        return Refuse(IDC_ADDRESS, "Service Address must be a plain IP address", MB_ICONWARNING);

    BOOL bRead = FALSE;
    int nPort = (int)GetDlgItemInt(hWnd, IDC_PORT, &bRead, TRUE);
    if (!bRead || nPort < 1 || nPort > 65535)
        return Refuse(IDC_PORT, "Service Port must be a number between 1 and 65535", MB_ICONWARNING);

    int nLimit = (int)GetDlgItemInt(hWnd, IDC_LIMIT, &bRead, TRUE);
    if (!bRead || nLimit < 1)
        return Refuse(IDC_LIMIT, "The value for the Simultaneous Connection Limit is invalid.",
                      MB_ICONWARNING);
    if (nLimit > SETTINGS_MAX_CONNECTIONS)
    {
        CCArray strText;
        strText.Format("This version of Tollgate is designed to handle maximum %d simultaneous connections.",
                       SETTINGS_MAX_CONNECTIONS);
        SetDlgItemInt(hWnd, IDC_LIMIT, SETTINGS_MAX_CONNECTIONS, TRUE);
        return Refuse(IDC_LIMIT, strText.GetString(), MB_ICONINFORMATION);
    }
    return true;
}

bool CDlgOptGeneral::OnApply()
{
    g_settings.bAutoStart = IsItemChecked(IDC_AUTOSTART) ? 1 : 0;
    SetAutoStart(HKEY_CURRENT_USER, szRunValueName, g_paths.strModulePath.GetString(), g_settings.bAutoStart);

    CCArray strAddress;
    GetWindowString(GetItem(IDC_ADDRESS), strAddress);
    g_settings.addrService.sin_addr.s_addr =
        strcmp(strAddress.GetString(), szAnyAddress) == 0 ? 0 : inet_addr(strAddress.GetString());
    g_settings.addrService.sin_port = htons((u_short)GetDlgItemInt(hWnd, IDC_PORT, nullptr, TRUE));
    StoreLiveSetting(g_settings.bSocks5, IsItemChecked(IDC_SOCKS5) ? 1 : 0);
    StoreLiveSetting(g_settings.bSocks4, IsItemChecked(IDC_SOCKS4) ? 1 : 0);
    StoreLiveSetting(nConnectionLimit, (int32_t)GetDlgItemInt(hWnd, IDC_LIMIT, nullptr, TRUE));

    GetWindowString(GetItem(IDC_LOG_FOLDER), g_settings.strLogFolder);
    g_settings.bLog = IsItemChecked(IDC_LOG) ? 1 : 0;
    return true;
}

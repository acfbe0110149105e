// DlgOptAccess.cpp: the Access Restrictions page of the Options sheet.
#include "ui/DlgOptAccess.h"

#include "engine/AccessRules.h"
#include "foundation/CharArray.h"
#include "resource.h"
#include "ui/DlgIpRange.h"
#include "ui/WindowText.h"

namespace
{
const UINT arrTipIds[] = {IDS_TIP_ADD, IDS_TIP_REMOVE, IDS_TIP_MODIFY};
const UINT arrCommandIds[] = {IDC_ADD_RANGE, IDC_REMOVE_RANGE, IDC_MODIFY_RANGE};

// Remove and Modify follow the list's selection, which sends no notice of its own when the
// keyboard or a removal changes it: a timer keeps the buttons in step.
const UINT nEnablingTimer = 1;
const UINT nEnablingPeriod = 500;
} // namespace

CDlgOptAccess::CDlgOptAccess()
    : CPropPage("Access Restrictions", IDD_OPT_ACCESS), toolBar(arrTipIds, arrCommandIds, 3, IDB_TOOLS),
      listChanged(false), listOwnsRecords(true)
{
}

INT_PTR CDlgOptAccess::OnInitDialog()
{
    toolBar.Attach(GetItem(IDC_RANGES_HEADER));
    for (int i = 0; i < g_settings.arrIpRanges.GetSize(); i++)
        AddLine(new IP_RANGE2(*g_settings.arrIpRanges[i]));

    CheckItem(IDC_IP_FILTER, g_settings.bIpFilter != 0);
    CheckItem(IDC_NO_AUTH, g_settings.bSocks5Auth == 0);
    CheckItem(IDC_USER_AUTH, g_settings.bSocks5Auth != 0);
    SendDlgItemMessageA(hWnd, IDC_USERID, EM_LIMITTEXT, SETTINGS_MAX_USERID, 0);
    SendDlgItemMessageA(hWnd, IDC_PASSWORD, EM_LIMITTEXT, SETTINGS_MAX_PASSWORD, 0);
    SetItemText(IDC_USERID, g_settings.strSocks5Userid.GetString());
    SetItemText(IDC_PASSWORD, g_settings.strSocks5Password.GetString());

    UpdateEnabling();
    SetTimer(hWnd, nEnablingTimer, nEnablingPeriod, nullptr);
    return TRUE;
}

INT_PTR CDlgOptAccess::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg)
    {
    case WM_COMMAND:
        switch (LOWORD(wParam))
        {
        case IDC_NO_AUTH:
        case IDC_USER_AUTH:
        case IDC_IP_FILTER:
            if (HIWORD(wParam) == BN_CLICKED)
                UpdateEnabling();
            return TRUE;
        case IDC_ADD_RANGE:
            AddRange();
            return TRUE;
        case IDC_REMOVE_RANGE:
            RemoveRange();
            return TRUE;
        case IDC_MODIFY_RANGE:
            ModifyRange();
            return TRUE;
        }
        break;
    case WM_TIMER:
        if (wParam == nEnablingTimer)
            UpdateEnabling();
        return TRUE;
    case WM_DESTROY:
        KillTimer(hWnd, nEnablingTimer);
        if (listOwnsRecords)
            FreeLineRanges();
        break;
    }
    return CPropPage::OnMessage(nMsg, wParam, lParam);
}

void CDlgOptAccess::UpdateEnabling()
{
    bool bFilter = IsItemChecked(IDC_IP_FILTER);
    bool bSelected = SendDlgItemMessageA(hWnd, IDC_RANGES, LB_GETCURSEL, 0, 0) != LB_ERR;
    EnableItem(IDC_RANGES, bFilter);
    EnableItem(IDC_RANGES_HEADER, bFilter);
    // The tool buttons are children of the header label, not of the page.
    HWND hHeader = GetItem(IDC_RANGES_HEADER);
    EnableWindow(GetDlgItem(hHeader, IDC_ADD_RANGE), bFilter);
    EnableWindow(GetDlgItem(hHeader, IDC_REMOVE_RANGE), bFilter && bSelected);
    EnableWindow(GetDlgItem(hHeader, IDC_MODIFY_RANGE), bFilter && bSelected);
    bool bAuth = IsItemChecked(IDC_USER_AUTH);
    EnableItem(IDC_USERID_LABEL, bAuth);
    EnableItem(IDC_USERID, bAuth);
    EnableItem(IDC_PASSWORD_LABEL, bAuth);
    EnableItem(IDC_PASSWORD, bAuth);
}

int CDlgOptAccess::AddLine(IP_RANGE2* pRange)
{
    CCArray strText;
    GetRangeText(*pRange, strText);
    int nIndex = (int)SendDlgItemMessageA(hWnd, IDC_RANGES, LB_ADDSTRING, 0, (LPARAM)strText.GetString());
    SendDlgItemMessageA(hWnd, IDC_RANGES, LB_SETITEMDATA, nIndex, (LPARAM)pRange);
    return nIndex;
}

IP_RANGE2* CDlgOptAccess::GetLineRange(int nIndex) const
{
    return reinterpret_cast<IP_RANGE2*>(SendDlgItemMessageA(hWnd, IDC_RANGES, LB_GETITEMDATA, nIndex, 0));
}

void CDlgOptAccess::AddRange()
{
    IP_RANGE2* pRange = new IP_RANGE2{0, 0};
    CDlgIpRange dlg(pRange, CDlgIpRange::modeAdd, hWnd);
    if (dlg.DoModal() != 1)
    {
        delete pRange;
        return;
    }
    int nIndex = AddLine(pRange);
    SendDlgItemMessageA(hWnd, IDC_RANGES, LB_SETCURSEL, nIndex, 0);
    FocusItem(IDC_RANGES);
    listChanged = true;
}

void CDlgOptAccess::RemoveRange()
{
    int nIndex = (int)SendDlgItemMessageA(hWnd, IDC_RANGES, LB_GETCURSEL, 0, 0);
    if (nIndex == LB_ERR)
        return;
    delete GetLineRange(nIndex);
    SendDlgItemMessageA(hWnd, IDC_RANGES, LB_DELETESTRING, nIndex, 0);
    SendDlgItemMessageA(hWnd, IDC_RANGES, LB_SETCURSEL, (WPARAM)-1, 0);
    if (SendDlgItemMessageA(hWnd, IDC_RANGES, LB_GETCOUNT, 0, 0) > 0)
        FocusItem(IDC_RANGES);
    listChanged = true;
}

void CDlgOptAccess::ModifyRange()
{
    int nIndex = (int)SendDlgItemMessageA(hWnd, IDC_RANGES, LB_GETCURSEL, 0, 0);
    if (nIndex == LB_ERR)
        return;
    IP_RANGE2* pRange = GetLineRange(nIndex);
    CDlgIpRange dlg(pRange, CDlgIpRange::modeModify, hWnd);
    if (dlg.DoModal() == 1)
    {
        // The text changed, so the line moves to its new sorted place.
        SendDlgItemMessageA(hWnd, IDC_RANGES, LB_DELETESTRING, nIndex, 0);
        nIndex = AddLine(pRange);
        SendDlgItemMessageA(hWnd, IDC_RANGES, LB_SETCURSEL, nIndex, 0);
        listChanged = true;
    }
    FocusItem(IDC_RANGES);
}

void CDlgOptAccess::FreeLineRanges()
{
    int nCount = (int)SendDlgItemMessageA(hWnd, IDC_RANGES, LB_GETCOUNT, 0, 0);
    for (int i = 0; i < nCount; i++)
    {
        delete GetLineRange(i);
        SendDlgItemMessageA(hWnd, IDC_RANGES, LB_SETITEMDATA, i, 0);
    }
}

bool CDlgOptAccess::OnKillActive()
{
    if (IsItemChecked(IDC_IP_FILTER) && SendDlgItemMessageA(hWnd, IDC_RANGES, LB_GETCOUNT, 0, 0) <= 0)
    {
        ShowMessage("Please specify at least 1 allowed IP address.", "Warning", MB_OK | MB_ICONWARNING);
        return false;
    }
    if (IsItemChecked(IDC_USER_AUTH))
    {
        int nEmpty = 0;
        if (GetWindowTextLengthA(GetItem(IDC_USERID)) == 0)
            nEmpty = IDC_USERID;
        else if (GetWindowTextLengthA(GetItem(IDC_PASSWORD)) == 0)
            nEmpty = IDC_PASSWORD;
        if (nEmpty != 0)
        {
            FocusItem(nEmpty);
            ShowMessage("Username and Password must not be empty.", "Warning", MB_OK | MB_ICONWARNING);
            return false;
        }
    }
    return true;
}

bool CDlgOptAccess::OnApply()
{
    if (listChanged)
    {
        int nCount = (int)SendDlgItemMessageA(hWnd, IDC_RANGES, LB_GETCOUNT, 0, 0);
        CArraySimpleObj<IP_RANGE2, const IP_RANGE2&> arrRanges;
        for (int i = 0; i < nCount; i++)
            arrRanges.Add(*GetLineRange(i));
        ReplaceIpRanges(arrRanges.pData, arrRanges.GetSize());
        listChanged = false;
    }
    StoreLiveSetting(g_settings.bIpFilter, IsItemChecked(IDC_IP_FILTER) ? 1 : 0);
    CCArray strUser, strPassword;
    GetWindowString(GetItem(IDC_USERID), strUser);
    GetWindowString(GetItem(IDC_PASSWORD), strPassword);
    // Session threads may be checking credentials right now: swap the strings under their lock.
    ReplaceCredentials(strUser.GetString(), strPassword.GetString());
    StoreLiveSetting(g_settings.bSocks5Auth, IsItemChecked(IDC_NO_AUTH) ? 0 : 1);
    return true;
}

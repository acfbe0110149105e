// DlgIpRange.cpp: the address range dialog.
#include "ui/DlgIpRange.h"

#include "resource.h"

namespace
{
void AppendAddress(uint32_t dwAddress, CCArray& strText)
{
    CCArray strPart;
    strPart.Format("%u.%u.%u.%u", (unsigned)(dwAddress >> 24), (unsigned)((dwAddress >> 16) & 0xFF),
                   (unsigned)((dwAddress >> 8) & 0xFF), (unsigned)(dwAddress & 0xFF));
    strText += strPart;
}
} // namespace

void GetRangeText(const IP_RANGE2& range, CCArray& strText)
{
    strText.SetText("");
    AppendAddress(range.dwFirst, strText);
    if (range.dwLast != range.dwFirst)
    {
        strText += " - ";
        AppendAddress(range.dwLast, strText);
    }
}

CDlgIpRange::CDlgIpRange(IP_RANGE2* pRangeIn, int nModeIn, HWND hParent)
    : CModalDlg(IDD_IPRANGE, hParent), pRange(pRangeIn), nMode(nModeIn)
{
}

INT_PTR CDlgIpRange::OnInitDialog()
{
    SetWindowTextA(hWnd, nMode == modeModify ? "Modify IP range" : "Add new IP range");
    if (nMode == modeModify)
    {
        SendDlgItemMessageA(hWnd, IDC_FIRST_IP, IPM_SETADDRESS, 0, (LPARAM)pRange->dwFirst);
        SendDlgItemMessageA(hWnd, IDC_LAST_IP, IPM_SETADDRESS, 0, (LPARAM)pRange->dwLast);
    }
    return TRUE;
}

void CDlgIpRange::OnOK()
{
    // IPM_GETADDRESS answers how many of the four fields hold a number.
    DWORD dwFirst = 0, dwLast = 0;
    if (SendDlgItemMessageA(hWnd, IDC_FIRST_IP, IPM_GETADDRESS, 0, (LPARAM)&dwFirst) != 4)
    {
        ShowMessage("You must specify plain IP addresses!", "Warning", MB_OK | MB_ICONWARNING);
        FocusItem(IDC_FIRST_IP);
        return;
    }
    LRESULT nLastFields = SendDlgItemMessageA(hWnd, IDC_LAST_IP, IPM_GETADDRESS, 0, (LPARAM)&dwLast);
    if (nLastFields == 0)
        dwLast = dwFirst;
    else if (nLastFields != 4)
    {
        ShowMessage("You must specify plain IP addresses!", "Warning", MB_OK | MB_ICONWARNING);
        FocusItem(IDC_LAST_IP);
        return;
    }
    else if (dwFirst > dwLast)
    {
        DWORD dw = dwFirst;
        dwFirst = dwLast;
        dwLast = dw;
    }
    pRange->dwFirst = dwFirst;
    pRange->dwLast = dwLast;
    EndDialog(1);
}

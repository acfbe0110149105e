// Dlg.cpp: the window map, the dialog procedure and the dialog classes.
#include "ui/Dlg.h"

#include <cstring>

HINSTANCE g_hInstance = nullptr;
CSortableArrayPtr<SPtrByHwnd, HWND> g_wndMap(8);

void MapWindow(HWND hWnd, void* pObject)
{
    SPtrByHwnd* pEntry = new SPtrByHwnd;
    pEntry->hWnd = hWnd;
    pEntry->pObject = pObject;
    if (!g_wndMap.Insert(pEntry))
        delete pEntry;
}

void* LookupWindow(HWND hWnd)
{
    SPtrByHwnd* pEntry = g_wndMap.Lookup(hWnd);
    return pEntry ? pEntry->pObject : nullptr;
}

void UnmapWindow(HWND hWnd)
{
    g_wndMap.Remove(hWnd);
}

INT_PTR CALLBACK DlgProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    CDlg* pDlg;
    if (nMsg == WM_INITDIALOG)
    {
        pDlg = (CDlg*)((const SPageDesc*)lParam)->lParam;
        MapWindow(hWnd, pDlg);
    }
    else
    {
        // Messages before WM_INITDIALOG (WM_SETFONT and the like) find no object and get the
        // default treatment.
        pDlg = (CDlg*)LookupWindow(hWnd);
        if (!pDlg)
            return 0;
    }

    switch (nMsg)
    {
    case WM_NCDESTROY:
        UnmapWindow(hWnd);
        pDlg->hWnd = nullptr;
        return 1;
    case WM_INITDIALOG:
    {
        pDlg->hWnd = hWnd;
        RECT rcBefore, rcAfter;
        GetWindowRect(hWnd, &rcBefore);
        INT_PTR nResult = pDlg->OnInitDialog();
        GetWindowRect(hWnd, &rcAfter);
        // A dialog that placed itself, a child (property page) and a template that asks the
        // system to place it are left where they are.
        const LONG nPlaced = WS_CHILD | WS_VISIBLE | DS_CENTER | DS_CENTERMOUSE | DS_ABSALIGN;
        if (memcmp(&rcBefore, &rcAfter, sizeof(RECT)) == 0 && !(GetWindowLongA(hWnd, GWL_STYLE) & nPlaced))
            CenterWindowOnMonitor(hWnd);
        return nResult;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK)
        {
            pDlg->OnOK();
            return 1;
        }
        if (LOWORD(wParam) == IDCANCEL)
        {
            pDlg->OnCancel();
            return 1;
        }
        return pDlg->OnMessage(nMsg, wParam, lParam);
    default:
        return pDlg->OnMessage(nMsg, wParam, lParam);
    }
}

// ---------------------------------------------------------------------------------------------
CDlg::CDlg(UINT nTemplate) : hWnd(nullptr), nTemplateId(nTemplate)
{
    memset(&psp, 0, sizeof(psp));
    psp.dwSize = sizeof(psp);
    psp.lParam = (LPARAM)this;
}

CDlg::~CDlg() {}

INT_PTR CDlg::OnMessage(UINT, WPARAM, LPARAM)
{
    return 0;
}

INT_PTR CDlg::OnInitDialog()
{
    return 1;
}

void CDlg::OnOK() {}

void CDlg::OnCancel() {}

// ---------------------------------------------------------------------------------------------
CModalDlg::CModalDlg(UINT nTemplate, HWND hParentWnd) : CDlg(nTemplate), hParent(hParentWnd) {}

void CModalDlg::OnOK()
{
    EndDialog(IDOK);
}

void CModalDlg::OnCancel()
{
    EndDialog(IDCANCEL);
}

INT_PTR CModalDlg::DoModal()
{
    return DialogBoxParamA(g_hInstance, MAKEINTRESOURCEA(nTemplateId), hParent, DlgProc, (LPARAM)&psp);
}

bool CModelessDlg::Create(HWND hParent)
{
    return CreateDialogParamA(g_hInstance, MAKEINTRESOURCEA(nTemplateId), hParent, DlgProc, (LPARAM)&psp) !=
           nullptr;
}

// ---------------------------------------------------------------------------------------------
CPropPage::CPropPage(const char* pszTitle, UINT nTemplate) : CModelessDlg(nTemplate)
{
    psp.dwFlags = PSP_USETITLE;
    psp.hInstance = g_hInstance;
    psp.pszTemplate = MAKEINTRESOURCEA(nTemplate);
    psp.pszTitle = pszTitle;
    psp.pfnDlgProc = DlgProc;
}

INT_PTR CPropPage::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_NOTIFY)
    {
        const NMHDR* pHeader = (const NMHDR*)lParam;
        if (pHeader->code == (UINT)PSN_APPLY)
        {
            SetMsgResult(OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE);
            return 1;
        }
        if (pHeader->code == (UINT)PSN_KILLACTIVE)
        {
            // TRUE keeps the page: validation failed.
            SetMsgResult(OnKillActive() ? FALSE : TRUE);
            return 1;
        }
    }
    return CDlg::OnMessage(nMsg, wParam, lParam);
}

bool CPropPage::OnApply()
{
    return true;
}

bool CPropPage::OnKillActive()
{
    return true;
}

// ---------------------------------------------------------------------------------------------
POINT CenterPosition(const RECT& rcRef, const RECT& rcWork, int nWidth, int nHeight)
{
    POINT pt;
    // C++ division rounds toward zero, on negative coordinates too.
    pt.x = (rcRef.left + rcRef.right) / 2 - nWidth / 2;
    pt.y = (rcRef.top + rcRef.bottom) / 2 - nHeight / 2;
    if (pt.x < rcWork.left)
        pt.x = rcWork.left;
    else if (pt.x + nWidth > rcWork.right)
        pt.x = rcWork.right - nWidth;
    if (pt.y < rcWork.top)
        pt.y = rcWork.top;
    else if (pt.y + nHeight > rcWork.bottom)
        pt.y = rcWork.bottom - nHeight;
    return pt;
}

void CenterWindowOnMonitor(HWND hDlg)
{
    HWND hOwner = GetWindow(hDlg, GW_OWNER);
    if (hOwner && (!IsWindowVisible(hOwner) || IsIconic(hOwner)))
        hOwner = nullptr;

    RECT rcRef;
    HMONITOR hMonitor;
    if (hOwner)
    {
        GetWindowRect(hOwner, &rcRef);
        hMonitor = MonitorFromWindow(hOwner, MONITOR_DEFAULTTONEAREST);
    }
    else
        hMonitor = MonitorFromWindow(hDlg, MONITOR_DEFAULTTOPRIMARY);

    MONITORINFO mi;
    mi.cbSize = sizeof(mi);
    if (!GetMonitorInfoA(hMonitor, &mi))
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &mi.rcWork, 0);
    if (!hOwner)
        rcRef = mi.rcWork;

    RECT rcDlg;
    GetWindowRect(hDlg, &rcDlg);
    POINT pt = CenterPosition(rcRef, mi.rcWork, rcDlg.right - rcDlg.left, rcDlg.bottom - rcDlg.top);
    SetWindowPos(hDlg, nullptr, pt.x, pt.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

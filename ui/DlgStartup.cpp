// DlgStartup.cpp: the start-up and stop progress window.
#include "ui/DlgStartup.h"

#include "resource.h"

CDlgStartup::CDlgStartup(const char* pszMessage) : CModelessDlg(IDD_STARTUP), pszText(pszMessage) {}

CDlgStartup::~CDlgStartup()
{
    if (hWnd)
        DestroyWindow(hWnd);
}

INT_PTR CDlgStartup::OnInitDialog()
{
    SetItemText(IDC_STARTUP_TEXT, pszText);
    return 1;
}

bool CDlgStartup::Show(HWND hParent)
{
    if (!Create(hParent))
        return false;
    ShowWindow(hWnd, SW_SHOW);
    UpdateWindow(hWnd);
    return true;
}

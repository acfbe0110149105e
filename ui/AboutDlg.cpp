// AboutDlg.cpp: the About box.
#include "ui/AboutDlg.h"

#include "foundation/CharArray.h"
#include "resource.h"
#include "ui/Shell.h"

CAboutDlg::CAboutDlg(HWND hParent) : CModalDlg(IDD_ABOUT, hParent) {}

INT_PTR CAboutDlg::OnInitDialog()
{
    CCArray strVersion("Version: ");
    strVersion += g_app.versionInfo.text;
    SetItemText(IDC_VERSION, strVersion.GetString());
    // Opened from the tray, the box must come up in front with Close ready for Enter.
    SetFocus(GetItem(IDOK));
    SetForegroundWindow(hWnd);
    return 0;
}

// DlgCrash.cpp: the crash dialog.
#include "ui/DlgCrash.h"

#include "config/Paths.h"
#include "foundation/CharArray.h"
#include "foundation/TextHelpers.h"
#include "resource.h"
#include "ui/OpenDocument.h"

CDlgCrash::CDlgCrash(const char* pszReport, HWND hParent)
    : CModalDlg(IDD_CRASH, hParent), pszReportPath(pszReport)
{
}

INT_PTR CDlgCrash::OnInitDialog()
{
    CModalDlg::OnInitDialog();
    // Enter sends: the focus starts on Send Error Report.
    FocusItem(IDOK);
    return FALSE;
}

INT_PTR CDlgCrash::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_COMMAND && LOWORD(wParam) == IDC_VIEW_REPORT)
    {
        ViewReport();
        return TRUE;
    }
    return CModalDlg::OnMessage(nMsg, wParam, lParam);
}

void CDlgCrash::ViewReport()
{
    // The viewer gets a copy: it may keep the file open or lock it, and the report itself is
    // still to be sent and deleted. A second look overwrites the first copy.
    CCArray strCopy(g_paths.strTempFolder);
    strCopy += GetFileNamePart(pszReportPath);
    if (CopyFileA(pszReportPath, strCopy.GetString(), FALSE))
        OpenDocument(strCopy.GetString(), ".txt");
}

int RunCrashDialog(const char* pszReportPath, HWND hOwner)
{
    CDlgCrash dlg(pszReportPath, hOwner);
    return dlg.DoModal() == IDOK ? 1 : 0;
}

// DlgCrash.h: CDlgCrash, the dialog that asks whether a crash report may be sent, and
// ShowCrashDialog, the crash handler's confirmation callback in Tollgate.
//
// The dialog runs on the faulting thread while the rest of the program stands still in whatever
// state the crash left it; it only reads the report path and copies the file for viewing.
#pragma once

#include "ui/Dlg.h"

class CDlgCrash : public CModalDlg
{
public:
    CDlgCrash(const char* pszReportPath, HWND hParent);
    INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    INT_PTR OnInitDialog() override;

    // Copies the report into the program's temporary folder and opens the copy in the viewer for
    // ".txt" documents; the file that will be sent is left alone.
    void ViewReport();

private:
    const char* pszReportPath; // borrowed from the crash path
};

// Runs the dialog for the report, owned by hOwner: 1 when the user chose Send Error Report; 0 for
// Don't Send, Esc or closing the window.
int RunCrashDialog(const char* pszReportPath, HWND hOwner);

// The crash handler's confirmation callback in Tollgate: RunCrashDialog owned by the program's
// hidden main window. It lives with the shell (Shell.cpp), which owns that window.
int ShowCrashDialog(const char* pszReportPath);

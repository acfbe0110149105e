// DlgStat.h: CDlgStat, the Statistics window.
//
// Shows when the server started, how many sessions are live and the bytes moved on each side of
// the proxy, refreshed twice a second; opens the session log and writes the snapshot page of the
// session table. While the server is stopped every control but Close is greyed and empty.
#pragma once

#include <cstdint>

#include "logging/HtmlReport.h"
#include "ui/Dlg.h"

class CDlgStat : public CModalDlg, public IReportHost
{
public:
    explicit CDlgStat(HWND hParent);

    INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    INT_PTR OnInitDialog() override;

    // The snapshot page's failures are message boxes of this window; the page opens in the
    // viewer registered for ".html".
    void ShowReportFailure(const char* pszMessage) override;
    void OpenReport(const char* pszPath) override;

private:
    void Refresh();

    // The start time the view was last built for; 1 (no real start time) until the first refresh.
    int64_t tLastShown;
};

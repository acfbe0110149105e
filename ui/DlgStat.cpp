// DlgStat.cpp: the Statistics window.
#include "ui/DlgStat.h"

#include <cinttypes>

#include "engine/Server.h"
#include "engine/SessionTable.h"
#include "foundation/TextHelpers.h"
#include "resource.h"
#include "ui/OpenDocument.h"

namespace
{
const UINT nRefreshTimer = 1;
const UINT nRefreshPeriod = 500;

// Every control that follows the server state, in the order of the window.
const int arrViewControls[] = {IDC_STARTED_LABEL, IDC_STARTED,       IDC_CONNECTIONS_GROUP, IDC_ACTIVE_LABEL,
                               IDC_ACTIVE,        IDC_SNAPSHOT,      IDC_TRAFFIC_GROUP,     IDC_SOURCE_LABEL,
                               IDC_SRC_TCP_LABEL, IDC_SRC_TCP,       IDC_SRC_UDP_LABEL,     IDC_SRC_UDP,
                               IDC_DEST_LABEL,    IDC_DST_TCP_LABEL, IDC_DST_TCP,           IDC_DST_UDP_LABEL,
                               IDC_DST_UDP};
// The texts a stopped server clears.
const int arrValueControls[] = {IDC_STARTED, IDC_ACTIVE, IDC_SRC_TCP, IDC_SRC_UDP, IDC_DST_TCP, IDC_DST_UDP};
} // namespace

CDlgStat::CDlgStat(HWND hParent) : CModalDlg(IDD_STAT, hParent), tLastShown(1) {}

INT_PTR CDlgStat::OnInitDialog()
{
    Refresh();
    SetTimer(hWnd, nRefreshTimer, nRefreshPeriod, nullptr);
    return TRUE;
}

INT_PTR CDlgStat::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg)
    {
    case WM_TIMER:
        if (wParam == nRefreshTimer)
            Refresh();
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_SNAPSHOT)
        {
            WriteHtmlReport(*this);
            return TRUE;
        }
        if (LOWORD(wParam) == IDC_SESSION_LOG)
        {
            if (g_server.logFile.IsOpen())
                OpenDocument(g_server.logFile.GetFileName().GetString(), ".txt");
            return TRUE;
        }
        break;
    case WM_DESTROY:
        KillTimer(hWnd, nRefreshTimer);
        break;
    }
    return CModalDlg::OnMessage(nMsg, wParam, lParam);
}

void CDlgStat::Refresh()
{
    // Written by the shell's flows on this same thread, so it is never seen half-written here.
    int64_t tStarted = g_server.tStarted;
    if (tStarted != tLastShown)
    {
        bool bRunning = tStarted != 0;
        if (bRunning)
        {
            CCArray strTime;
            FormatTime(strTime, tStarted, "%#c");
            SetItemText(IDC_STARTED, strTime.GetString());
        }
        else if (tLastShown != 1)
        {
            for (int nId : arrValueControls)
                SetItemText(nId, "");
        }
        for (int nId : arrViewControls)
            EnableItem(nId, bRunning);
        EnableItem(IDC_SESSION_LOG, bRunning && g_server.logFile.IsOpen());
        tLastShown = tStarted;
    }
    if (tLastShown == 0)
        return;

    CCArray strText;
    strText.Format("%d", GetSessionCount());
    SetItemText(IDC_ACTIVE, strText.GetString());
    const std::atomic<uint64_t>* arrCounters[] = {&g_traffic.nTcpClient, &g_traffic.nUdpClient,
                                                  &g_traffic.nTcpDest, &g_traffic.nUdpDest};
    const int arrCounterControls[] = {IDC_SRC_TCP, IDC_SRC_UDP, IDC_DST_TCP, IDC_DST_UDP};
    for (int i = 0; i < 4; i++)
    {
        strText.Format("%" PRIu64, ReadTraffic(*arrCounters[i]));
        SetItemText(arrCounterControls[i], strText.GetString());
    }
}

void CDlgStat::ShowReportFailure(const char* pszMessage)
{
    ShowMessage(pszMessage, nullptr, MB_OK | MB_ICONWARNING);
}

void CDlgStat::OpenReport(const char* pszPath)
{
    OpenDocument(pszPath, ".html");
}

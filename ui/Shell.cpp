// Shell.cpp: the program's static objects, the entry point's start-up sequence, the hidden
// window's procedure and the server flows as the user sees them.
#include "ui/Shell.h"

#include <cstdio>
#include <cstring>

#include <commctrl.h>
#include <ole2.h>
#include <shlobj.h>

#include "config/Paths.h"
#include "crash/CrashHandler.h"
#include "crash/CrashReportKey.h"
#include "config/Settings.h"
#include "config/SettingsStore.h"
#include "engine/AccessRules.h"
#include "engine/Server.h"
#include "logging/LogFile.h"
#include "net/ErrorText.h"
#include "resource.h"
#include "ui/AboutDlg.h"
#include "ui/Dlg.h"
#include "ui/DlgCrash.h"
#include "ui/DlgStartup.h"
#include "ui/DlgStat.h"
#include "ui/OpenDocument.h"
#include "ui/OptionsSheet.h"

namespace
{
const char szWindowClass[] = "TOLLGATE";
const char szMutexName[] = "Tollgate_Owner_Mutex";
const char szCaption[] = "Tollgate";
const char szTipStopped[] = "Tollgate (stopped)";
const char szTipStarted[] = "Tollgate (started)";

// "Server startup failed:\n\n<error text>" and the like, owned by the hidden window.
void ShowServerError(HWND hOwner, const char* pszWhat)
{
    CCArray strError;
    ErrorText(g_server.nLastError, strError);
    CCArray strText;
    strText.Format("%s:\n\n%s", pszWhat, strError.GetString());
    MessageBoxA(hOwner, strText.GetString(), szCaption, MB_OK | MB_ICONWARNING);
}

void ReportLogFailure(const char* pszMessage)
{
    MessageBoxA(GetMainWindow(), pszMessage, szCaption, MB_OK | MB_ICONWARNING);
}

// Windows XP (NT 5.1) and later show the alpha icons; older systems the 16-colour set.
bool HasXpIcons()
{
    OSVERSIONINFOA vi;
    vi.dwOSVersionInfoSize = sizeof(vi);
    if (!GetVersionExA(&vi))
        return false;
    return vi.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           (vi.dwMajorVersion > 5 || (vi.dwMajorVersion == 5 && vi.dwMinorVersion > 0));
}

// Explorer broadcasts this registered message when it has (re)created the notification area.
UINT TaskbarCreatedMessage()
{
    static const UINT nMsg = RegisterWindowMessageA("TaskbarCreated");
    return nMsg;
}

// Started from the Run key at logon, the program may come up before the shell's notification area
// exists, and adding the icon fails until it does: the start-up tries again for this long.
const DWORD nTrayAddPatienceMs = 60000;
const DWORD nTrayAddRetryMs = 500;

bool IsWindowsMajorBelow4()
{
    OSVERSIONINFOA vi;
    vi.dwOSVersionInfoSize = sizeof(vi);
    return GetVersionExA(&vi) && vi.dwMajorVersion < 4;
}
} // namespace

// The static objects, constructed in this order before the entry point runs: the hidden window's
// state, the application (which guards the single instance), the tray icon. The window map and
// the session table live with their code.
CTrayWnd g_trayWnd;
CProxyApp g_app;
CTrayIcon g_trayIcon;

HWND GetMainWindow()
{
    return g_trayWnd.hwnd;
}

int ShowCrashDialog(const char* pszReportPath)
{
    return RunCrashDialog(pszReportPath, GetMainWindow());
}

// ---------------------------------------------------------------------------------------------
CProxyApp::CProxyApp() : hMutex(nullptr)
{
    // A second copy of the program ends here, before it shows anything, and leaves the first
    // alone. The handle stays open for the life of the process.
    hMutex = CreateMutexA(nullptr, FALSE, szMutexName);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        ExitThread(1);
}

// ---------------------------------------------------------------------------------------------
CTrayIcon::CTrayIcon() : bAdded(false), bReAddPending(false)
{
    memset(&nid, 0, sizeof(nid));
}

CTrayIcon::~CTrayIcon()
{
    Remove();
}

bool CTrayIcon::Add(HWND hWnd, UINT nCallbackMsg, const char* pszTip, HICON hIcon, UINT nId)
{
    if (IsWindowsMajorBelow4())
        return false;
    // The 88-byte form of the record: every shell version takes it, and the tip holds 63
    // characters.
    nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = hWnd;
    nid.uID = nId;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = nCallbackMsg;
    nid.hIcon = hIcon;
    lstrcpynA(nid.szTip, pszTip, 64);
    bAdded = Shell_NotifyIconA(NIM_ADD, &nid) != FALSE;
    return bAdded;
}

bool CTrayIcon::AddAgain()
{
    if (nid.hWnd == nullptr)
        return false;
    // A new notification area knows nothing of the icon: add it whole, whatever the last add said.
    // The message also comes when the icon is still there (the add then fails): a modify that
    // succeeds says so, and the icon must not count as lost.
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    bAdded = Shell_NotifyIconA(NIM_ADD, &nid) != FALSE || Shell_NotifyIconA(NIM_MODIFY, &nid) != FALSE;
    return bAdded;
}

bool CTrayIcon::SetIcon(HICON hIcon)
{
    if (!bAdded)
        return false;
    nid.hIcon = hIcon;
    nid.uFlags = NIF_ICON;
    return Shell_NotifyIconA(NIM_MODIFY, &nid) != FALSE;
}

bool CTrayIcon::SetTip(const char* pszTip)
{
    if (!bAdded)
        return false;
    lstrcpynA(nid.szTip, pszTip, 64);
    nid.uFlags = NIF_TIP;
    return Shell_NotifyIconA(NIM_MODIFY, &nid) != FALSE;
}

bool CTrayIcon::Refresh()
{
    if (!bAdded)
        return false;
    // While the icon is still there the add fails, which changes nothing; after the notification
    // area was re-created (Explorer restarted) it brings the icon back. The failure must not
    // count as a lost icon, or no later change of state would reach the tray.
    bReAddPending = true;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    bool bResult = Shell_NotifyIconA(NIM_ADD, &nid) != FALSE;
    bReAddPending = false;
    return bResult;
}

void CTrayIcon::Remove()
{
    if (!bAdded)
        return;
    Shell_NotifyIconA(NIM_DELETE, &nid);
    bAdded = false;
}

// ---------------------------------------------------------------------------------------------
CTrayWnd::CTrayWnd()
    : quitting(false), busy(false), xpIcons(false), hwnd(nullptr), hOptionsSheet(nullptr), pStatistics(nullptr),
      pAbout(nullptr)
{
    startIdleEvent.Create(true);
    startFlowIdleEvent.Create(true);
}

bool CTrayWnd::PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        if (msg.message == WM_QUIT)
        {
            // The quit message belongs to the outer message loop: leave it there.
            PostQuitMessage((int)msg.wParam);
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        if (quitting)
            return false;
    }
    return !quitting;
}

void CTrayWnd::SendServerDown()
{
    // The engine's start-idle event is set when its part of a start has ended, while this thread
    // still has to show the started state. Showing it talks to the notification area with sent
    // messages, during which a sent WM_SERVERDOWN would run in the middle of it and the end of
    // the start would then paint "started" over the stopped server. The loss waits for the
    // shell's start flow as well.
    startFlowIdleEvent.Wait(-1);
    SendMessageA(hwnd, WM_SERVERDOWN, 0, 0);
}

bool CTrayWnd::Create()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = g_hInstance;
    wc.lpszClassName = szWindowClass;
    if (!RegisterClassA(&wc))
        return false;
    hwnd = CreateWindowExA(0, szWindowClass, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, nullptr, nullptr, g_hInstance, nullptr);
    if (!hwnd)
        return false;

    TaskbarCreatedMessage();
    xpIcons = HasXpIcons();
    HICON hStopped = LoadTrayIcon(xpIcons ? IDI_TRAY_STOPPED : IDI_TRAY_STOPPED_CLASSIC);
    if (!AddTrayIcon(hStopped, nTrayAddPatienceMs))
    {
        DestroyWindow(hwnd);
        hwnd = nullptr;
        return false;
    }
    SetTimer(hwnd, TRAY_TIMER_ID, TRAY_TIMER_PERIOD, nullptr);
    return true;
}

bool CTrayWnd::AddTrayIcon(HICON hIcon, DWORD nPatienceMs)
{
    DWORD nStart = GetTickCount();
    for (;;)
    {
        if (g_trayIcon.Add(hwnd, WM_TRAYNOTIFY, szTipStopped, hIcon, TRAY_ICON_ID))
            return true;
        if (GetTickCount() - nStart >= nPatienceMs)
            return false;
        // Nothing else runs yet; the window's messages (TaskbarCreated among them) are handled
        // while it waits.
        DWORD nSliceStart = GetTickCount();
        while (GetTickCount() - nSliceStart < nTrayAddRetryMs)
        {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, nTrayAddRetryMs, QS_ALLINPUT);
            if (!PumpMessages())
                return false;
            if (g_trayIcon.IsAdded())
                return true; // TaskbarCreated brought it in
        }
    }
}

HICON LoadTrayIcon(UINT nId)
{
    // The notification area shows small icons: the image made for that size, not the large one
    // shrunk. LR_SHARED: the system owns the handle, as with LoadIcon.
    return (HICON)LoadImageA(g_hInstance, MAKEINTRESOURCEA(nId), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                             GetSystemMetrics(SM_CYSMICON), LR_SHARED);
}

void CTrayWnd::ShowServerState(bool bStarted)
{
    UINT nIcon;
    if (xpIcons)
        nIcon = bStarted ? IDI_TRAY_STARTED : IDI_TRAY_STOPPED;
    else
        nIcon = bStarted ? IDI_TRAY_STARTED_CLASSIC : IDI_TRAY_STOPPED_CLASSIC;
    g_trayIcon.SetIcon(LoadTrayIcon(nIcon));
    g_trayIcon.SetTip(bStarted ? szTipStarted : szTipStopped);
}

void CTrayWnd::StartServer()
{
    if (IsServerRunning())
        return;
    busy = true;
    startIdleEvent.Reset();
    startFlowIdleEvent.Reset();
    CDlgStartup progress("Starting the server...");
    progress.Show(hwnd);

    // The engine opens the log, starts the listener and waits for it while this thread keeps
    // pumping; it sets the start-idle event again however the start ends.
    EServerFlow eFlow = ::StartServer();
    if (eFlow == FLOW_ABANDONED)
    {
        startFlowIdleEvent.Set();
        return; // quitting: busy stays set, the progress window goes with this frame
    }
    if (eFlow == FLOW_DONE)
        ShowServerState(true);
    // A listener that died meanwhile reports it from here on; the failure's message box lets it.
    startFlowIdleEvent.Set();
    if (eFlow == FLOW_FAILED)
        ShowServerError(hwnd, "Server startup failed");
    busy = false;
}

void CTrayWnd::StopServer()
{
    if (!IsServerRunning())
        return;
    busy = true;
    CDlgStartup progress("Stopping the server...");
    progress.Show(hwnd);

    if (::StopServer() == FLOW_ABANDONED)
        return;
    ShowServerState(false);
    busy = false;
}

void CTrayWnd::RestartServer()
{
    if (!IsServerRunning())
        return;
    StopServer();
    if (quitting)
        return;
    StartServer();
}

LRESULT CTrayWnd::OnServerWentDown()
{
    busy = true;
    if (::OnServerWentDown() == FLOW_ABANDONED)
        return 0;
    ShowServerState(false);
    ShowServerError(hwnd, "Server went down");
    busy = false;
    return 0;
}

void CTrayWnd::ShowOptions()
{
    if (hOptionsSheet)
    {
        SetForegroundWindow(hOptionsSheet);
        return;
    }
    // What a running server has captured at its start: a change needs a restart.
    sockaddr_in addrBefore = g_settings.addrService;
    bool bLogBefore = g_settings.bLog != 0;
    CCArray strLogFolderBefore(g_settings.strLogFolder);

    if (RunOptionsSheet(hwnd, &hOptionsSheet) == 1)
    {
        SaveSettings(g_settings);
        bool bLogNow = g_settings.bLog != 0;
        bool bChanged = memcmp(&addrBefore, &g_settings.addrService, sizeof(addrBefore)) != 0 ||
                        bLogNow != bLogBefore ||
                        (bLogNow && lstrcmpiA(strLogFolderBefore.GetString(), g_settings.strLogFolder.GetString()) != 0);
        if (bChanged && IsServerRunning())
        {
            busy = true;
            int nAnswer = MessageBoxA(hwnd,
                                      "The server must be restarted before the changes take effect.\n\n"
                                      "Do you want to restart the server now?",
                                      szCaption, MB_YESNO | MB_ICONINFORMATION);
            busy = false;
            if (nAnswer == IDYES)
                RestartServer();
        }
    }
    hOptionsSheet = nullptr;
}

void CTrayWnd::ShowStatistics()
{
    if (pStatistics)
    {
        SetForegroundWindow(pStatistics->GetHwnd());
        return;
    }
    CDlgStat dlg(hwnd);
    pStatistics = &dlg;
    dlg.DoModal();
    pStatistics = nullptr;
}

void CTrayWnd::ShowAbout()
{
    if (pAbout)
    {
        SetForegroundWindow(pAbout->GetHwnd());
        return;
    }
    CAboutDlg dlg(nullptr);
    pAbout = &dlg;
    dlg.DoModal();
    pAbout = nullptr;
}

void CTrayWnd::CloseAllWindows()
{
    KillTimer(hwnd, TRAY_TIMER_ID);
    // A property sheet runs its own modal loop, which ends on its Cancel button, not on EndDialog.
    if (hOptionsSheet && IsWindow(hOptionsSheet))
        PostMessageA(hOptionsSheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    if (pStatistics && pStatistics->GetHwnd() && IsWindow(pStatistics->GetHwnd()))
        pStatistics->EndDialog(IDCANCEL);
    if (pAbout && pAbout->GetHwnd() && IsWindow(pAbout->GetHwnd()))
        pAbout->EndDialog(IDCANCEL);
    quitting = true;
}

bool CTrayWnd::OnTrayNotify(UINT nIconId, UINT nMouseMsg)
{
    if (nIconId != TRAY_ICON_ID || !IsWindow(hwnd))
        return false;
    if (busy)
    {
        if (nMouseMsg == WM_LBUTTONDOWN || nMouseMsg == WM_LBUTTONDBLCLK || nMouseMsg == WM_RBUTTONUP)
            SendMessageA(hwnd, WM_BRINGTOFRONT, 0, 0);
        return true;
    }
    switch (nMouseMsg)
    {
    case WM_RBUTTONUP:
    {
        HMENU hMenu = LoadMenuA(g_hInstance, MAKEINTRESOURCEA(IDR_TRAYMENU));
        if (!hMenu)
            return true;
        HMENU hPopup = GetSubMenu(hMenu, 0);
        POINT pt;
        GetCursorPos(&pt);
        // The menu closes when the user clicks elsewhere only if its owner is the foreground
        // window, and the null message afterwards lets a second click on the icon open it again.
        SendMessageA(hwnd, WM_BRINGTOFRONT, 0, 0);
        TrackPopupMenu(hPopup, TPM_LEFTBUTTON, pt.x, pt.y, 0, hwnd, nullptr);
        PostMessageA(hwnd, WM_NULL, 0, 0);
        DestroyMenu(hMenu);
        return true;
    }
    case WM_LBUTTONDBLCLK:
        SendMessageA(hwnd, WM_COMMAND, IDM_ABOUT, 0);
        return true;
    case WM_LBUTTONDOWN:
        SendMessageA(hwnd, WM_BRINGTOFRONT, 0, 0);
        return true;
    default:
        return false;
    }
}

LRESULT CALLBACK CTrayWnd::WndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    CTrayWnd& wnd = g_trayWnd;
    switch (nMsg)
    {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        // Nothing shows the hidden window, so only a program asks it to close: the Restart
        // Manager before it updates or removes the program's files. It ends as Exit does.
        wnd.CloseAllWindows();
        DestroyWindow(hWnd);
        return 0;
    case WM_QUERYENDSESSION:
        // Only a question: another program may still refuse, and the session then goes on. The
        // windows stay until WM_ENDSESSION says that the session really ends.
        return 1;
    case WM_ENDSESSION:
        if (wParam)
        {
            wnd.CloseAllWindows();
            DestroyWindow(hWnd);
        }
        return 0;
    case WM_TIMER:
        if (wParam == TRAY_TIMER_ID)
            g_trayIcon.Refresh();
        return 0;
    case WM_TRAYNOTIFY:
        wnd.OnTrayNotify((UINT)wParam, (UINT)lParam);
        return 0;
    case WM_SERVERDOWN:
        return wnd.OnServerWentDown();
    case WM_BRINGTOFRONT:
        SetForegroundWindow(hWnd);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam))
        {
        case IDM_START:
            wnd.StartServer();
            return 0;
        case IDM_STOP:
            wnd.StopServer();
            return 0;
        case IDM_RESTART:
            wnd.RestartServer();
            return 0;
        case IDM_OPTIONS:
            wnd.ShowOptions();
            return 0;
        case IDM_STATISTICS:
            wnd.ShowStatistics();
            return 0;
        case IDM_ABOUT:
            wnd.ShowAbout();
            return 0;
        case IDM_EXIT:
            wnd.CloseAllWindows();
            DestroyWindow(hWnd);
            return 0;
        }
        break;
    }
    if (nMsg == TaskbarCreatedMessage() && nMsg != 0)
    {
        // Explorer restarted: the new notification area holds none of the old icons.
        g_trayIcon.AddAgain();
        return 0;
    }
    return DefWindowProcA(hWnd, nMsg, wParam, lParam);
}

// ---------------------------------------------------------------------------------------------
namespace
{
// Everything between Windows Sockets and the message loop; false ends the program. Only the
// version information says why it failed.
bool StartUp()
{
    if (!InitPaths())
        return false;
    if (!g_app.versionInfo.Read(g_paths.strModulePath.GetString()))
    {
        MessageBoxA(nullptr, "Failed to read Tollgate version information", nullptr, MB_OK | MB_ICONERROR);
        return false;
    }
    // The crash-report switch is named after the product; a running program keeps it on.
    WriteCrashReportSwitch(g_app.versionInfo.productName.GetString(), 1);
    // The folder chooser's result is freed with the shell's allocator.
    if (!InitShellAllocator())
        return false;
    CleanTempFolder();
    LoadSettings(g_settings);
    SetAutoStart(HKEY_CURRENT_USER, g_app.versionInfo.productName.GetString(), g_paths.strModulePath.GetString(),
                 g_settings.bAutoStart);
    // The session table's lock is a static object; the IP ranges gate is made here, before any
    // thread can wait at it.
    IpRangesGate();

    if (!g_trayWnd.Create())
        return false;
    CLogFile::SetFailureReporter(ReportLogFailure);
    SetServerShell(&g_trayWnd);

    // The server starts before the message loop runs; on the very first run the Options sheet
    // opens as soon as it does.
    SendMessageA(g_trayWnd.hwnd, WM_COMMAND, IDM_START, 0);
    if (IsFirstRun())
        PostMessageA(g_trayWnd.hwnd, WM_COMMAND, IDM_OPTIONS, 0);
    return true;
}

// The end of a program whose engine threads may still run. They use the settings, the session
// table and the session log, which are static objects: rather than destroy those under them,
// the process ends at once, without static destructors. Every log line already went to the
// system with its own write, so nothing is lost; the system closes the handles.
[[noreturn]] void EndProcessNow(int nExitCode)
{
    g_trayIcon.Remove();
    TerminateProcess(GetCurrentProcess(), (UINT)nExitCode);
    ExitProcess((UINT)nExitCode);
}
} // namespace

int RunTollgate(HINSTANCE hInstance)
{
    g_hInstance = hInstance;
    // The crash handler is installed here, first of all, so that a fault anywhere after this
    // point (start-up included) ends in a crash report.
    InstallCrashHandler(0, ShowCrashDialog);

    if (!StartSockets())
        return 0;

    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES | ICC_UPDOWN_CLASS |
                ICC_PROGRESS_CLASS | ICC_HOTKEY_CLASS | ICC_ANIMATE_CLASS | ICC_INTERNET_CLASSES;
    InitCommonControlsEx(&icc);
    // The folder chooser's new dialog style needs OLE on the thread that opens it, which is this
    // one; the system does not initialise it for the program.
    bool bOle = SUCCEEDED(OleInitialize(nullptr));

    if (!StartUp())
    {
        if (bOle)
            OleUninitialize();
        StopSockets();
        return 0;
    }

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    int nExitCode = (int)msg.wParam;

    // Exit does not stop the server. With a listener or a session thread still running, the
    // process ends here; otherwise it ends normally and the static objects remove the tray icon
    // and close the session log.
    if (!WaitEngineThreadsEnded(0))
        EndProcessNow(nExitCode);
    if (bOle)
        OleUninitialize();
    StopSockets();
    return nExitCode;
}

// Shell.h: the application shell: the single-instance guard, the hidden window with its tray
// icon and menu, and the start, stop, restart and went-down flows run on the user-interface
// thread.
//
// The program has no main window. A hidden top-level window of class "TOLLGATE" owns the tray
// icon; every command reaches it as WM_COMMAND from the tray menu. While a flow waits for the
// engine, PumpMessages keeps the window procedure running, so it is re-entered during a flow:
// busy makes tray clicks only bring the program to the foreground meanwhile.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <objidl.h>

#include "crash/VersionInfo.h"
#include "engine/ServerShell.h"
#include "platform/Platform.h"

class CAboutDlg;
class CDlgStat;

// Messages of the hidden window.
#define WM_TRAYNOTIFY (WM_USER + 1)   // from the tray: wParam = icon id, lParam = mouse message
#define WM_SERVERDOWN (WM_USER + 2)   // from the listener, sent: the running server ended by itself
#define WM_BRINGTOFRONT (WM_USER + 3) // make the hidden window the foreground window

// The tray icon's id, the same number as the tray menu.
#define TRAY_ICON_ID 114
// The tray refresh timer of the hidden window.
#define TRAY_TIMER_ID 1
#define TRAY_TIMER_PERIOD 5000

// The program-wide state that belongs to the shell; the server context, the settings and the
// paths are the engine's and the configuration's globals (g_server, g_settings, g_paths).
class CProxyApp
{
public:
    // Creates the single-instance mutex first: a second copy of the program ends here, silently,
    // with exit code 1.
    CProxyApp();

    HANDLE hMutex;
    SVersionInfo versionInfo;

private:
    CProxyApp(const CProxyApp&) = delete;
    CProxyApp& operator=(const CProxyApp&) = delete;
};

// The notification-area icon, in the system's 88-byte record (tips of up to 63 characters).
class CTrayIcon
{
public:
    CTrayIcon();
    // The icon goes with the process: removed when the static objects are destroyed.
    ~CTrayIcon();

    bool Add(HWND hWnd, UINT nCallbackMsg, const char* pszTip, HICON hIcon, UINT nId);
    bool SetIcon(HICON hIcon);
    bool SetTip(const char* pszTip);
    // Adds the icon again, so that it reappears after the notification area was re-created.
    bool Refresh();
    // Adds the icon of the last Add once more, for a notification area that was created anew
    // (TaskbarCreated); also after an add that failed.
    bool AddAgain();
    void Remove();
    bool IsAdded() const { return bAdded; }
    HICON GetIcon() const { return nid.hIcon; }
    const char* GetTip() const { return nid.szTip; }

private:
    bool bAdded;
    bool bReAddPending;
    NOTIFYICONDATAA nid;
};

// The hidden window and the shell's side of the engine's host contract.
class CTrayWnd : public IServerShell
{
public:
    CTrayWnd();

    bool PumpMessages() override;
    // Listener thread: runs OnServerWentDown on the user-interface thread through the window.
    void SendServerDown() override;
    CManualEvent& StartIdleEvent() override { return startIdleEvent; }

    bool Create();
    // Adds the stopped icon to the tray, trying again for up to nPatienceMs while the shell's
    // notification area is not there yet.
    bool AddTrayIcon(HICON hIcon, DWORD nPatienceMs);
    void StartServer();
    void StopServer();
    void RestartServer();
    LRESULT OnServerWentDown();
    void ShowOptions();
    void ShowStatistics();
    void ShowAbout();
    void CloseAllWindows();
    bool OnTrayNotify(UINT nIconId, UINT nMouseMsg);
    // Shows the started or stopped icon and tip.
    void ShowServerState(bool bStarted);

    static LRESULT CALLBACK WndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);

    bool quitting;
    bool busy;
    CManualEvent startIdleEvent;
    // Reset while StartServer runs, engine steps and the tray's update both; the listener's
    // report of a lost server waits for it (SendServerDown).
    CManualEvent startFlowIdleEvent;
    bool xpIcons;
    HWND hwnd;
    HWND hOptionsSheet;
    CDlgStat* pStatistics;
    CAboutDlg* pAbout;

private:
    CTrayWnd(const CTrayWnd&) = delete;
    CTrayWnd& operator=(const CTrayWnd&) = delete;
};

extern CTrayWnd g_trayWnd;
extern CProxyApp g_app;
extern CTrayIcon g_trayIcon;

// A tray icon resource at the system's small-icon size (shared handle, never destroyed).
HICON LoadTrayIcon(UINT nId);

// The hidden window: owner of the shell's message boxes, and of those of other parts of the
// program (session log failures, the crash dialog). Null before it exists.
HWND GetMainWindow();

// The entry point's body: the instance handle in, the quit message's code out (0 when start-up
// failed).
int RunTollgate(HINSTANCE hInstance);

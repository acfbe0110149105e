// HookMain.cpp: TollgateHook.exe, a test build of Tollgate.exe: the program unchanged, plus a
// hidden window of class "TollgateTestHook" on a thread of its own that lets a test read what
// the tray shows and make the listener fail from outside.
//
//   WM_HOOK_TRAYSTATE  returns HOOK_STARTED or HOOK_STOPPED when the tray's tip and icon agree
//                      on that state, 0 when they disagree or the icon is not in the tray
//   WM_HOOK_DROPLISTENER closes the listening socket under the running listener, as a failing
//                      network would: its accept fails while no stop was asked for
//   WM_HOOK_SERVERRUNNING returns 1 while the engine counts the server as running (until its
//                      listener has ended), 0 afterwards
//   WM_HOOK_DROPICON   deletes the tray icon behind the program's back, as a notification area
//                      that is created anew (Explorer restarted) has forgotten it
//   WM_HOOK_ICONINTRAY returns 1 while the notification area holds the program's icon, else 0
//   WM_HOOK_TRAYICONSIZE returns the width in pixels of the icon the tray shows
//   WM_HOOK_OLEREADY   returns 1 when OLE is already initialised on the user-interface thread
//                      (asked there, through a subclass of the hidden window), else 0
//
// With the environment variable TG_HOOK_ACCEPT_FAILS set, every accept fails at once with a
// failure that ends the listener: the server goes down the moment it has started.
#include <windows.h>

#include <ole2.h>

#include <cstring>

#include "engine/Server.h"
#include "net/BlockingSocket.h"
#include "net/SocketApi.h"
#include "resource.h"
#include "tests/ui/shell/hook/Hook.h"
#include "ui/Dlg.h"
#include "ui/Shell.h"

namespace
{
// The notify record of the program's icon with no change asked: enough to modify or delete it.
NOTIFYICONDATAA IconRecord()
{
    NOTIFYICONDATAA nid = {};
    nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = g_trayWnd.hwnd;
    nid.uID = TRAY_ICON_ID;
    return nid;
}

WNDPROC pfnShellProc = nullptr;

SOCKET FailingAccept(SOCKET, sockaddr*, int*)
{
    WSASetLastError(WSAENOTSOCK);
    return INVALID_SOCKET;
}

SSocketApi g_failingAccept;

// Runs on the user-interface thread, in front of the shell's own window procedure.
LRESULT CALLBACK UiThreadProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_HOOK_OLEREADY)
    {
        // S_FALSE: this thread had it already; a fresh initialisation is undone again.
        HRESULT hr = OleInitialize(nullptr);
        if (SUCCEEDED(hr))
            OleUninitialize();
        return hr == S_FALSE ? 1 : 0;
    }
    return CallWindowProcA(pfnShellProc, hWnd, nMsg, wParam, lParam);
}

LRESULT CALLBACK HookProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg)
    {
    case WM_HOOK_TRAYSTATE:
    {
        if (!g_trayIcon.IsAdded())
            return 0;
        HICON hIcon = g_trayIcon.GetIcon();
        const char* pszTip = g_trayIcon.GetTip();
        if (hIcon == LoadTrayIcon(IDI_TRAY_STARTED) &&
            strcmp(pszTip, "Tollgate (started)") == 0)
            return HOOK_STARTED;
        if (hIcon == LoadTrayIcon(IDI_TRAY_STOPPED) &&
            strcmp(pszTip, "Tollgate (stopped)") == 0)
            return HOOK_STOPPED;
        return 0;
    }
    case WM_HOOK_DROPLISTENER:
        CloseSocketAt(&g_server.hListenSocket, GetDefaultSocketApi()->closesocket);
        return 1;
    case WM_HOOK_SERVERRUNNING:
        return IsServerRunning() ? 1 : 0;
    case WM_HOOK_DROPICON:
    {
        NOTIFYICONDATAA nid = IconRecord();
        return Shell_NotifyIconA(NIM_DELETE, &nid) ? 1 : 0;
    }
    case WM_HOOK_ICONINTRAY:
    {
        NOTIFYICONDATAA nid = IconRecord();
        return Shell_NotifyIconA(NIM_MODIFY, &nid) ? 1 : 0;
    }
    case WM_HOOK_TRAYICONSIZE:
    {
        ICONINFO info;
        if (!g_trayIcon.IsAdded() || !GetIconInfo(g_trayIcon.GetIcon(), &info))
            return 0;
        BITMAP bm = {};
        GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bm), &bm);
        if (info.hbmColor)
            DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        return bm.bmWidth;
    }
    case WM_HOOK_OLEREADY:
        if (!g_trayWnd.hwnd)
            return -1;
        if (!pfnShellProc)
            pfnShellProc = (WNDPROC)SetWindowLongPtrA(g_trayWnd.hwnd, GWLP_WNDPROC, (LONG_PTR)UiThreadProc);
        return SendMessageA(g_trayWnd.hwnd, WM_HOOK_OLEREADY, 0, 0);
    }
    return DefWindowProcA(hWnd, nMsg, wParam, lParam);
}

DWORD WINAPI HookThread(void*)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = HookProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = HOOK_CLASS;
    RegisterClassA(&wc);
    CreateWindowExA(0, HOOK_CLASS, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}
} // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    if (GetEnvironmentVariableA("TG_HOOK_ACCEPT_FAILS", nullptr, 0) > 0)
    {
        g_failingAccept = *GetSystemSocketApi();
        g_failingAccept.accept = FailingAccept;
        SetDefaultSocketApi(&g_failingAccept);
    }
    CloseHandle(CreateThread(nullptr, 0, HookThread, nullptr, 0, nullptr));
    return RunTollgate(hInstance);
}

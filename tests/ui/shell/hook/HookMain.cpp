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
#include <windows.h>

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
        if (hIcon == LoadIconA(g_hInstance, MAKEINTRESOURCEA(IDI_TRAY_STARTED)) &&
            strcmp(pszTip, "Tollgate (started)") == 0)
            return HOOK_STARTED;
        if (hIcon == LoadIconA(g_hInstance, MAKEINTRESOURCEA(IDI_TRAY_STOPPED)) &&
            strcmp(pszTip, "Tollgate (stopped)") == 0)
            return HOOK_STOPPED;
        return 0;
    }
    case WM_HOOK_DROPLISTENER:
        CloseSocketAt(&g_server.hListenSocket, GetDefaultSocketApi()->closesocket);
        return 1;
    case WM_HOOK_SERVERRUNNING:
        return IsServerRunning() ? 1 : 0;
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
    CloseHandle(CreateThread(nullptr, 0, HookThread, nullptr, 0, nullptr));
    return RunTollgate(hInstance);
}

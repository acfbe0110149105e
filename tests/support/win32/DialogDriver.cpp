// DialogDriver.cpp: driving the dialogs of the test's main thread from a second thread.
#include "tests/support/win32/DialogDriver.h"

#include <commctrl.h>
#include <prsht.h>

#include <atomic>
#include <thread>

namespace gui
{
namespace
{
DWORD g_dwDialogThread = 0;
// A message-only window of the dialog thread that runs the functions sent to it.
HWND g_hRunner = nullptr;
const UINT WM_RUNFUNCTION = WM_APP + 7;

LRESULT CALLBACK RunnerProc(HWND hwnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg != WM_RUNFUNCTION)
        return DefWindowProcA(hwnd, nMsg, wParam, lParam);
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return 0;
}

// Ends whatever the dialog thread still shows: sheets by their Cancel button, dialogs and
// message boxes by Cancel, or by OK when they have only that.
BOOL CALLBACK CancelWindow(HWND hwnd, LPARAM)
{
    if (!IsWindowVisible(hwnd))
        return TRUE;
    if (PropSheet_GetCurrentPageHwnd(hwnd) != nullptr)
        PostMessageA(hwnd, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    else
        PostMessageA(hwnd, WM_COMMAND,
                     GetDlgItem(hwnd, IDCANCEL) || !GetDlgItem(hwnd, IDOK) ? IDCANCEL : IDOK, 0);
    return TRUE;
}
} // namespace

DWORD DialogThread()
{
    return g_dwDialogThread;
}

INT_PTR RunDriven(const std::function<INT_PTR()>& pfnRun, const std::function<void()>& pfnDrive)
{
    g_dwDialogThread = GetCurrentThreadId();
    if (g_hRunner == nullptr)
    {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = RunnerProc;
        wc.lpszClassName = "TgTestRunner";
        RegisterClassA(&wc);
        g_hRunner =
            CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    }
    std::atomic<bool> bRunEnded(false);
    std::thread driver(
        [&]
        {
            pfnDrive();
            for (int i = 0; i < 200 && !bRunEnded.load(); i++, Sleep(50))
                EnumThreadWindows(g_dwDialogThread, CancelWindow, 0);
        });
    INT_PTR nResult = pfnRun();
    bRunEnded = true;
    driver.join();
    return nResult;
}

void RunOnDialogThread(const std::function<void()>& pfn)
{
    SendMessageA(g_hRunner, WM_RUNFUNCTION, 0, reinterpret_cast<LPARAM>(&pfn));
}

HWND WaitForDialog(const char* pszTitle, int nTimeoutMs)
{
    return WaitForWindow(GetCurrentProcessId(), "#32770", pszTitle, nTimeoutMs);
}

void SetItemText(HWND hDlg, int nId, const char* pszText)
{
    SendMessageA(GetDlgItem(hDlg, nId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(pszText));
}

void Click(HWND hDlg, int nId)
{
    PostMessageA(GetDlgItem(hDlg, nId), BM_CLICK, 0, 0);
}

bool HasFocus(HWND hDlg, int nId)
{
    HWND hControl = GetDlgItem(hDlg, nId);
    HWND hFocus = FocusOf(hDlg);
    return hControl != nullptr && (hFocus == hControl || IsChild(hControl, hFocus));
}

SMessageBox AnswerMessageBox(const char* pszCaption, int nButton)
{
    SMessageBox box = {WaitForMessageBox(GetCurrentProcessId(), pszCaption, kDialogWaitMs), "", nullptr};
    if (box.hwnd == nullptr)
        return box;
    box.strText = MessageBoxText(box.hwnd);
    // 0x0440 is the static control that shows the box's icon.
    box.hIcon = reinterpret_cast<HICON>(SendDlgItemMessageA(box.hwnd, 0x0440, STM_GETICON, 0, 0));
    PostMessageA(box.hwnd, WM_COMMAND, nButton, 0);
    WaitGone(box.hwnd, kDialogWaitMs);
    return box;
}

HWND CurrentPage(HWND hSheet)
{
    return PropSheet_GetCurrentPageHwnd(hSheet);
}
} // namespace gui

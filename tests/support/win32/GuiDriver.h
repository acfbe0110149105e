// GuiDriver.h: driving the program's dialogs from a second thread of the test process.
//
// A test runs its modal dialog (DoModal, RunOptionsSheet) on the main thread while a driver
// thread finds the dialog's windows, types into them with WM_SETTEXT and presses buttons with
// posted messages; posting matters wherever the press opens a message box, since a sent message
// would wait until the box closes. When the driver ends, whatever is still open on the main
// thread is cancelled, so a failed step never leaves the test waiting for ever.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace gui
{
// Runs pfnRun on the calling thread and pfnDrive on a thread of its own; returns pfnRun's result.
INT_PTR RunDriven(const std::function<INT_PTR()>& pfnRun, const std::function<void()>& pfnDrive);

// The main (dialog) thread of the current RunDriven.
DWORD DialogThread();
// Runs pfn on the dialog thread (inside its modal loop) and returns when it has run.
void RunOnDialogThread(const std::function<void()>& pfn);

// A visible dialog-class window ("#32770": dialogs, sheets, message boxes) of the dialog thread
// with this exact title; null after nTimeoutMs.
HWND WaitForDialog(const char* pszTitle, int nTimeoutMs = 5000);
// True once the window is gone (destroyed, not only hidden).
bool WaitGone(HWND hwnd, int nTimeoutMs = 5000);
// Polls pfnCondition every 10 ms until it holds; false after nTimeoutMs.
bool WaitUntil(const std::function<bool()>& pfnCondition, int nTimeoutMs = 5000);

std::string GetText(HWND hwnd);
std::string GetItemText(HWND hDlg, int nId);
void SetItemText(HWND hDlg, int nId, const char* pszText);
// Posts a click of the button (BM_CLICK), which returns at once.
void Click(HWND hDlg, int nId);
// The dialog thread's focus window.
HWND FocusWindow();
// True when the focus is on the control or inside it (the edit of a combo box).
bool HasFocus(HWND hDlg, int nId);

// A message box as the user sees it.
struct SMessageBox
{
    HWND hwnd;
    std::string strCaption;
    std::string strText;
    HICON hIcon; // compare with LoadIcon(nullptr, IDI_WARNING)...
};
// Waits for a message box with this caption, reads it, presses its button nButton and waits
// until it is gone. hwnd is null when no box appeared.
SMessageBox AnswerMessageBox(const char* pszCaption, int nButton = IDOK, int nTimeoutMs = 5000);

// Saves what the screen shows of the window as screenshots\<pszName>.bmp beside the test
// program (no test compares pixels: fonts differ between machines). False when it failed.
bool SaveScreenshot(HWND hwnd, const char* pszName);

// The property sheet's page on show.
HWND CurrentPage(HWND hSheet);
} // namespace gui

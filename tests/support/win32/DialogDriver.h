// DialogDriver.h: driving dialogs of the test process itself from a second thread.
//
// A test runs its modal dialog (DoModal, RunOptionsSheet) on the main thread while a driver
// thread finds the dialog's windows, types into them with WM_SETTEXT and presses buttons with
// posted messages; posting matters wherever the press opens a message box, since a sent message
// would wait until the box closes. When the driver ends, whatever is still open on the main
// thread is cancelled, so a failed step never leaves the test waiting for ever. Finding windows,
// reading texts and waiting are GuiDriver.h's.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "tests/support/win32/GuiDriver.h"

namespace gui
{
// Time-out of the waits of an in-process test: generous, since they normally end at once.
const int kDialogWaitMs = 5000;

// Runs pfnRun on the calling thread and pfnDrive on a thread of its own; returns pfnRun's result.
INT_PTR RunDriven(const std::function<INT_PTR()>& pfnRun, const std::function<void()>& pfnDrive);
// The main (dialog) thread of the current RunDriven.
DWORD DialogThread();
// Runs pfn on the dialog thread (inside its modal loop) and returns when it has run.
void RunOnDialogThread(const std::function<void()>& pfn);

// A visible dialog-class window ("#32770": dialogs, sheets, message boxes) of this process with
// this exact title; null after nTimeoutMs.
HWND WaitForDialog(const char* pszTitle, int nTimeoutMs = kDialogWaitMs);

void SetItemText(HWND hDlg, int nId, const char* pszText);
// Posts a click of the button (BM_CLICK), which returns at once.
void Click(HWND hDlg, int nId);
// True when the focus is on the control or inside it (the edit of a combo box).
bool HasFocus(HWND hDlg, int nId);

// A message box as the user saw it.
struct SMessageBox
{
    HWND hwnd;
    std::string strText;
    HICON hIcon; // compare with LoadIcon(nullptr, IDI_WARNING)...
};
// Waits for a message box of this process with this caption, reads it, presses its button
// nButton and waits until it is gone. hwnd is null when no box appeared.
SMessageBox AnswerMessageBox(const char* pszCaption, int nButton = IDOK);

// The property sheet's page on show.
HWND CurrentPage(HWND hSheet);
} // namespace gui

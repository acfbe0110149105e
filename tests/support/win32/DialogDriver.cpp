// DialogDriver.cpp: driving the dialogs of the test's main thread from a second thread.
#include "tests/support/win32/DialogDriver.h"

#include <commctrl.h>
#include <prsht.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace gui
{
namespace
{
DWORD g_dwDialogThread = 0;
// A message-only window of the dialog thread that runs functions sent to it.
HWND g_hRunner = nullptr;
const UINT WM_RUNFUNCTION = WM_APP + 7;

LRESULT CALLBACK RunnerProc(HWND hwnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_RUNFUNCTION)
    {
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return 0;
    }
    return DefWindowProcA(hwnd, nMsg, wParam, lParam);
}

// The static control that shows a message box's icon.
const int nMessageBoxIcon = 0x0440;

BOOL CALLBACK CollectWindows(HWND hwnd, LPARAM lParam)
{
    if (IsWindowVisible(hwnd))
        reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hwnd);
    return TRUE;
}

// Ends whatever the dialog thread still shows: message boxes and dialogs by Cancel (or OK for a
// box that has no Cancel), property sheets by their Cancel button.
void CancelEverything()
{
    std::vector<HWND> windows;
    EnumThreadWindows(g_dwDialogThread, CollectWindows, reinterpret_cast<LPARAM>(&windows));
    for (HWND hwnd : windows)
    {
        if (PropSheet_GetCurrentPageHwnd(hwnd) != nullptr)
            PostMessageA(hwnd, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        else if (GetDlgItem(hwnd, IDCANCEL) != nullptr || GetDlgItem(hwnd, IDOK) == nullptr)
            PostMessageA(hwnd, WM_COMMAND, IDCANCEL, 0);
        else
            PostMessageA(hwnd, WM_COMMAND, IDOK, 0);
    }
}

std::string GetTestProgramFolder()
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    std::string str(szPath);
    return str.substr(0, str.rfind('\\') + 1);
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
        WNDCLASSA wc;
        memset(&wc, 0, sizeof(wc));
        wc.lpfnWndProc = RunnerProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "TgTestRunner";
        RegisterClassA(&wc);
        g_hRunner =
            CreateWindowA("TgTestRunner", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    }
    std::atomic<bool> bRunEnded(false);
    std::thread driver(
        [&]
        {
            pfnDrive();
            // Anything the script left open is cancelled until the dialog thread is back.
            for (int i = 0; i < 200 && !bRunEnded.load(); i++)
            {
                CancelEverything();
                Sleep(50);
            }
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
    SMessageBox box;
    box.hwnd = WaitForMessageBox(GetCurrentProcessId(), pszCaption, kDialogWaitMs);
    box.hIcon = nullptr;
    if (box.hwnd == nullptr)
        return box;
    box.strText = MessageBoxText(box.hwnd);
    box.hIcon = reinterpret_cast<HICON>(SendDlgItemMessageA(box.hwnd, nMessageBoxIcon, STM_GETICON, 0, 0));
    PostMessageA(box.hwnd, WM_COMMAND, nButton, 0);
    WaitGone(box.hwnd, kDialogWaitMs);
    return box;
}

bool SaveScreenshot(HWND hwnd, const char* pszName)
{
    // The window is painted through on its own thread before it is copied off the screen.
    RunOnDialogThread(
        [hwnd] { RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN); });
    RECT rc;
    if (!GetWindowRect(hwnd, &rc))
        return false;
    int nWidth = rc.right - rc.left, nHeight = rc.bottom - rc.top;
    HDC hScreen = GetDC(nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    BITMAPINFO bmi;
    memset(&bmi, 0, sizeof(bmi));
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = nWidth;
    bmi.bmiHeader.biHeight = nHeight;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 24;
    void* pBits = nullptr;
    HBITMAP hBitmap = CreateDIBSection(hScreen, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    bool bSaved = false;
    if (hBitmap != nullptr)
    {
        HGDIOBJ hOld = SelectObject(hMem, hBitmap);
        BitBlt(hMem, 0, 0, nWidth, nHeight, hScreen, rc.left, rc.top, SRCCOPY);
        SelectObject(hMem, hOld);
        GdiFlush();
        std::string strFolder = GetTestProgramFolder() + "screenshots";
        CreateDirectoryA(strFolder.c_str(), nullptr);
        DWORD nImage = (DWORD)(((nWidth * 3 + 3) & ~3) * nHeight);
        BITMAPFILEHEADER file;
        memset(&file, 0, sizeof(file));
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof(file) + sizeof(bmi.bmiHeader);
        file.bfSize = file.bfOffBits + nImage;
        HANDLE hFile = CreateFileA((strFolder + "\\" + pszName + ".bmp").c_str(), GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD dw;
        bSaved = hFile != INVALID_HANDLE_VALUE && WriteFile(hFile, &file, sizeof(file), &dw, nullptr) &&
                 WriteFile(hFile, &bmi.bmiHeader, sizeof(bmi.bmiHeader), &dw, nullptr) &&
                 WriteFile(hFile, pBits, nImage, &dw, nullptr);
        if (hFile != INVALID_HANDLE_VALUE)
            CloseHandle(hFile);
        DeleteObject(hBitmap);
    }
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    return bSaved;
}

HWND CurrentPage(HWND hSheet)
{
    return PropSheet_GetCurrentPageHwnd(hSheet);
}
} // namespace gui

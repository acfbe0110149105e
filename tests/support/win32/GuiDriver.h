// GuiDriver.h: drives a running Tollgate.exe from a test program in the same Wine prefix (or on
// Windows): starting it, finding its windows by class and caption, reading their texts, writing
// its settings key, and starting Linux helpers (curl, import) from inside Wine.
//
// Only messages whose pointers the system marshals between processes (WM_GETTEXT, WM_SETTEXT)
// may carry pointers; everything else is ids and plain numbers.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace gui
{
// Polls the condition every 20 ms until it holds or nTimeoutMs passed.
bool WaitFor(const std::function<bool()>& condition, int nTimeoutMs);

// A started program; the destructor ends it when it still runs.
class CProgram
{
public:
    CProgram() : hProcess(nullptr), nPid(0) {}
    ~CProgram() { Kill(); }
    bool Start(const std::string& strExe);
    // True with the exit code once the program has ended within nTimeoutMs.
    bool WaitExit(int nTimeoutMs, DWORD* pnCode);
    void Kill();
    DWORD Pid() const { return nPid; }

private:
    HANDLE hProcess;
    DWORD nPid;
    CProgram(const CProgram&) = delete;
    CProgram& operator=(const CProgram&) = delete;
};

// Top-level windows of the process with the class (null: any) and the caption (null: any).
std::vector<HWND> FindWindows(DWORD nPid, const char* pszClass, const char* pszCaption, bool bVisibleOnly = true);
// The first such window that appears within nTimeoutMs, or null.
HWND WaitForWindow(DWORD nPid, const char* pszClass, const char* pszCaption, int nTimeoutMs,
                   bool bVisibleOnly = true);
// True once the window is destroyed.
bool WaitGone(HWND hWnd, int nTimeoutMs);
// Whether a window of the process appears within nTimeoutMs (a negative check: waits it out).
bool AppearsWithin(DWORD nPid, const char* pszClass, const char* pszCaption, int nTimeoutMs);

std::string WindowText(HWND hWnd);
std::string ItemText(HWND hDlg, int nId);
// A message box of the process with the caption (a dialog with the text control 0xFFFF, not
// some other dialog of the same caption), or null after nTimeoutMs.
HWND WaitForMessageBox(DWORD nPid, const char* pszCaption, int nTimeoutMs);
// The text of a message box, with CR LF turned into LF.
std::string MessageBoxText(HWND hBox);
// The window that has the keyboard focus in the thread that owns hWnd.
HWND FocusOf(HWND hWnd);

// The program's settings key under HKEY_CURRENT_USER.
extern const char szSettingsKey[];
void DeleteSettings();
void SetSettingBinary(const char* pszName, const void* pData, DWORD nSize);
void SetSettingFlag(const char* pszName, uint32_t nValue);
void SetSettingString(const char* pszName, const std::string& strValue);
// "Service Address": IPv4 loopback and the port.
void SetServiceAddress(const char* pszAddress, uint16_t nPort);
bool HasSetting(const char* pszName);

// A loopback port that was free a moment ago.
uint16_t FreeLoopbackPort();
// True when something accepts connections on 127.0.0.1:nPort.
bool CanConnect(uint16_t nPort);

// Waits until the program's start flow has ended with its server listening on 127.0.0.1:nPort:
// the port answers and the start's progress window (a dialog captioned "Tollgate", created
// before the listener and destroyed at the flow's end) is gone. Tray clicks and commands sent
// before that arrive inside the start flow, where the program ignores clicks.
bool WaitServerStarted(DWORD nPid, uint16_t nPort, int nTimeoutMs);

// A fresh, empty folder under the temporary folder; its Windows path with a trailing backslash.
std::string MakeTempFolder(const char* pszPrefix);
std::string ReadFileText(const std::string& strPath);
// The Windows path of a Linux path (drive Z: is the root under Wine).
std::string WindowsPath(const std::string& strUnixPath);

// Starts a Linux shell command line from inside Wine. Wine can start an ELF program but gives no
// waitable handle for it, so the command writes its exit code to a file, whose Windows path this
// returns (empty when the start failed). Wine splits the command line by the Windows rules, so
// the command must not contain double quotes.
std::string StartUnixShell(const std::string& strCommand);
// The exit code of a started command, or -1 when it did not finish within nTimeoutMs.
int WaitUnixShell(const std::string& strDoneFile, int nTimeoutMs);
// Both at once.
int RunUnixShell(const std::string& strCommand, int nTimeoutMs);
// A loopback web server whose one page comes in two halves, the second only once the test lets
// it go, so that a session through the proxy stays in its table while the test looks at it.
// Every wait is bounded (20 s for the client, 20 s for the release).
class CSlowWebServer
{
public:
    CSlowWebServer();
    ~CSlowWebServer();
    void Release() { bRelease = true; }
    uint16_t Port() const { return nPort; }
    // The page as the client must receive it.
    static const char szPage[];

private:
    void Serve();
    SOCKET hListen;
    uint16_t nPort;
    std::atomic<bool> bRelease;
    std::thread worker;
};

// Saves the screen's rectangle (grown by nMargin pixels on each side) as a PNG file at the Linux
// path, with ImageMagick's import on the X display Wine draws on. True when the file exists.
bool SaveScreenshot(const RECT& rc, int nMargin, const std::string& strUnixPath);
// The union of the window rectangles.
RECT UnionOfWindows(const std::vector<HWND>& windows);
} // namespace gui

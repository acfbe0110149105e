// GuiDriver.cpp: the GUI driver of the Windows tests.
#include "tests/support/win32/GuiDriver.h"

#include <winsock2.h>

#include <cstdio>
#include <cstring>

namespace gui
{
const char szSettingsKey[] = "Software\\Kestrel Co\\Tollgate";

bool WaitFor(const std::function<bool()>& condition, int nTimeoutMs)
{
    DWORD tStart = GetTickCount();
    for (;;)
    {
        if (condition())
            return true;
        if ((int)(GetTickCount() - tStart) >= nTimeoutMs)
            return false;
        Sleep(20);
    }
}

bool CProgram::Start(const std::string& strExe)
{
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::string strCommand = "\"" + strExe + "\"";
    if (!CreateProcessA(strExe.c_str(), &strCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    hProcess = pi.hProcess;
    nPid = pi.dwProcessId;
    return true;
}

bool CProgram::WaitExit(int nTimeoutMs, DWORD* pnCode)
{
    if (!hProcess || WaitForSingleObject(hProcess, (DWORD)nTimeoutMs) != WAIT_OBJECT_0)
        return false;
    if (pnCode)
        GetExitCodeProcess(hProcess, pnCode);
    return true;
}

void CProgram::Kill()
{
    if (!hProcess)
        return;
    if (WaitForSingleObject(hProcess, 0) != WAIT_OBJECT_0)
    {
        TerminateProcess(hProcess, 9);
        WaitForSingleObject(hProcess, 5000);
    }
    CloseHandle(hProcess);
    hProcess = nullptr;
}

namespace
{
struct SFind
{
    DWORD nPid;
    const char* pszClass;
    const char* pszCaption;
    bool bVisibleOnly;
    std::vector<HWND> found;
};

// The caption of another process's window is read from the system, which keeps it, without a
// message: a busy program cannot make it read as empty, and so a window that is there is never
// taken for one that is gone. A window of this process is asked (GetWindowText would wait for its
// thread without a time-out).
std::string CaptionOf(HWND hWnd, DWORD nPid)
{
    if (nPid == GetCurrentProcessId())
        return WindowText(hWnd);
    char szText[1024] = "";
    GetWindowTextA(hWnd, szText, sizeof(szText));
    return szText;
}

BOOL CALLBACK CollectWindow(HWND hWnd, LPARAM lParam)
{
    SFind* pFind = (SFind*)lParam;
    DWORD nPid = 0;
    GetWindowThreadProcessId(hWnd, &nPid);
    if (nPid != pFind->nPid || (pFind->bVisibleOnly && !IsWindowVisible(hWnd)))
        return TRUE;
    char szClass[64];
    if (pFind->pszClass && (!GetClassNameA(hWnd, szClass, sizeof(szClass)) || strcmp(szClass, pFind->pszClass)))
        return TRUE;
    if (pFind->pszCaption && CaptionOf(hWnd, nPid) != pFind->pszCaption)
        return TRUE;
    pFind->found.push_back(hWnd);
    return TRUE;
}
} // namespace

std::vector<HWND> FindWindows(DWORD nPid, const char* pszClass, const char* pszCaption, bool bVisibleOnly)
{
    SFind find = {nPid, pszClass, pszCaption, bVisibleOnly, {}};
    EnumWindows(CollectWindow, (LPARAM)&find);
    return find.found;
}

HWND WaitForWindow(DWORD nPid, const char* pszClass, const char* pszCaption, int nTimeoutMs, bool bVisibleOnly)
{
    HWND hFound = nullptr;
    WaitFor(
        [&] {
            std::vector<HWND> found = FindWindows(nPid, pszClass, pszCaption, bVisibleOnly);
            hFound = found.empty() ? nullptr : found[0];
            return hFound != nullptr;
        },
        nTimeoutMs);
    return hFound;
}

bool WaitGone(HWND hWnd, int nTimeoutMs)
{
    // A destroyed window has no thread; a hidden one still has.
    return WaitFor([&] { return GetWindowThreadProcessId(hWnd, nullptr) == 0; }, nTimeoutMs);
}

bool AppearsWithin(DWORD nPid, const char* pszClass, const char* pszCaption, int nTimeoutMs)
{
    return WaitForWindow(nPid, pszClass, pszCaption, nTimeoutMs) != nullptr;
}

std::string WindowText(HWND hWnd)
{
    char szText[1024] = "";
    DWORD_PTR nResult = 0;
    SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof(szText), (LPARAM)szText, SMTO_ABORTIFHUNG, 2000, &nResult);
    return szText;
}

std::string ItemText(HWND hDlg, int nId)
{
    HWND hItem = GetDlgItem(hDlg, nId);
    return hItem ? WindowText(hItem) : std::string("<no control>");
}

HWND WaitForMessageBox(DWORD nPid, const char* pszCaption, int nTimeoutMs)
{
    HWND hFound = nullptr;
    WaitFor(
        [&] {
            for (HWND hWnd : FindWindows(nPid, "#32770", pszCaption))
                if (GetDlgItem(hWnd, 0xFFFF))
                    hFound = hWnd;
            return hFound != nullptr;
        },
        nTimeoutMs);
    return hFound;
}

std::string MessageBoxText(HWND hBox)
{
    std::string strText = ItemText(hBox, 0xFFFF);
    std::string strOut;
    for (char ch : strText)
        if (ch != '\r')
            strOut += ch;
    return strOut;
}

HWND FocusOf(HWND hWnd)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(hWnd, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

// ---------------------------------------------------------------------------------------------
namespace
{
void DeleteKeyTree(HKEY hParent, const char* pszKey)
{
    HKEY hKey;
    if (RegOpenKeyExA(hParent, pszKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
        return;
    char szSub[256];
    while (RegEnumKeyA(hKey, 0, szSub, sizeof(szSub)) == ERROR_SUCCESS)
        DeleteKeyTree(hKey, szSub);
    RegCloseKey(hKey);
    RegDeleteKeyA(hParent, pszKey);
}

void SetValue(const char* pszName, DWORD nType, const void* pData, DWORD nSize)
{
    HKEY hKey;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, szSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, pszName, 0, nType, (const BYTE*)pData, nSize);
    RegCloseKey(hKey);
}
} // namespace

void DeleteSettings()
{
    DeleteKeyTree(HKEY_CURRENT_USER, szSettingsKey);
}

void SetSettingBinary(const char* pszName, const void* pData, DWORD nSize)
{
    SetValue(pszName, REG_BINARY, pData, nSize);
}

void SetSettingFlag(const char* pszName, uint32_t nValue)
{
    unsigned char bytes[4] = {(unsigned char)nValue, (unsigned char)(nValue >> 8), (unsigned char)(nValue >> 16),
                              (unsigned char)(nValue >> 24)};
    SetValue(pszName, REG_BINARY, bytes, 4);
}

void SetSettingString(const char* pszName, const std::string& strValue)
{
    SetValue(pszName, REG_SZ, strValue.c_str(), (DWORD)strValue.size() + 1);
}

void SetServiceAddress(const char* pszAddress, uint16_t nPort)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = inet_addr(pszAddress);
    SetSettingBinary("Service Address", &sa, sizeof(sa));
}

bool HasSetting(const char* pszName)
{
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, szSettingsKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    bool bFound = RegQueryValueExA(hKey, pszName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return bFound;
}

// ---------------------------------------------------------------------------------------------
namespace
{
struct SWinsock
{
    SWinsock()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
};

void EnsureWinsock()
{
    static SWinsock winsock;
}
} // namespace

uint16_t FreeLoopbackPort()
{
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr*)&sa, sizeof(sa));
    int nLen = sizeof(sa);
    getsockname(s, (sockaddr*)&sa, &nLen);
    closesocket(s);
    return ntohs(sa.sin_port);
}

bool CanConnect(uint16_t nPort)
{
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool bConnected = connect(s, (sockaddr*)&sa, sizeof(sa)) == 0;
    closesocket(s);
    return bConnected;
}

bool WaitServerStarted(DWORD nPid, uint16_t nPort, int nTimeoutMs)
{
    return WaitFor([&] { return CanConnect(nPort) && FindWindows(nPid, "#32770", "Tollgate", false).empty(); },
                   nTimeoutMs);
}

std::string MakeTempFolder(const char* pszPrefix)
{
    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    for (int i = 0; i < 1000; ++i)
    {
        char szFolder[MAX_PATH];
        snprintf(szFolder, sizeof(szFolder), "%s%s%lu-%d\\", szTemp, pszPrefix, GetCurrentProcessId(), i);
        if (CreateDirectoryA(szFolder, nullptr))
            return szFolder;
    }
    return std::string();
}

std::string ReadFileText(const std::string& strPath)
{
    std::string strText;
    FILE* pFile = fopen(strPath.c_str(), "rb");
    if (!pFile)
        return strText;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pFile)) > 0)
        strText.append(buffer, n);
    fclose(pFile);
    return strText;
}

std::string WindowsPath(const std::string& strUnixPath)
{
    std::string strPath = "Z:" + strUnixPath;
    for (char& ch : strPath)
        if (ch == '/')
            ch = '\\';
    return strPath;
}

std::string StartUnixShell(const std::string& strCommand)
{
    static int nRun = 0;
    char szDone[128];
    snprintf(szDone, sizeof(szDone), "/tmp/tg-gui-%lu-%d.done", GetCurrentProcessId(), ++nRun);
    std::string strDoneWin = WindowsPath(szDone);
    DeleteFileA(strDoneWin.c_str());

    // The exit code appears under its final name in one step, so a reader never sees it half
    // written.
    std::string strScript = "(" + strCommand + "); echo $? > " + szDone + ".tmp; mv " + szDone + ".tmp " + szDone;
    std::string strLine = "/bin/sh -c \"" + strScript + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA("/bin/sh", &strLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return std::string();
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    return strDoneWin;
}

int WaitUnixShell(const std::string& strDoneFile, int nTimeoutMs)
{
    if (strDoneFile.empty())
        return -1;
    if (!WaitFor([&] { return GetFileAttributesA(strDoneFile.c_str()) != INVALID_FILE_ATTRIBUTES; }, nTimeoutMs))
        return -1;
    std::string strCode = ReadFileText(strDoneFile);
    DeleteFileA(strDoneFile.c_str());
    return atoi(strCode.c_str());
}

int RunUnixShell(const std::string& strCommand, int nTimeoutMs)
{
    return WaitUnixShell(StartUnixShell(strCommand), nTimeoutMs);
}
bool SaveScreenshot(const RECT& rc, int nMargin, const std::string& strUnixPath)
{
    int nLeft = rc.left - nMargin < 0 ? 0 : rc.left - nMargin;
    int nTop = rc.top - nMargin < 0 ? 0 : rc.top - nMargin;
    char szGeometry[64];
    snprintf(szGeometry, sizeof(szGeometry), "%ldx%ld+%d+%d", rc.right + nMargin - nLeft, rc.bottom + nMargin - nTop,
             nLeft, nTop);
    std::string strTemp = strUnixPath + ".tmp.png";
    std::string strCommand = std::string("import -window root -crop ") + szGeometry + " +repage " + strTemp +
                             " && mv " + strTemp + " " + strUnixPath;
    DeleteFileA(WindowsPath(strUnixPath).c_str());
    return RunUnixShell(strCommand, 20000) == 0 &&
           GetFileAttributesA(WindowsPath(strUnixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

RECT UnionOfWindows(const std::vector<HWND>& windows)
{
    RECT rcAll = {0, 0, 0, 0};
    for (HWND hWnd : windows)
    {
        RECT rc;
        GetWindowRect(hWnd, &rc);
        UnionRect(&rcAll, &rcAll, &rc);
    }
    return rcAll;
}
// ---------------------------------------------------------------------------------------------
const char CSlowWebServer::szPage[] = "first half, second half\n";

CSlowWebServer::CSlowWebServer() : hListen(INVALID_SOCKET), nPort(0), bRelease(false)
{
    EnsureWinsock();
    hListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(hListen, (sockaddr*)&sa, sizeof(sa));
    int nLen = sizeof(sa);
    getsockname(hListen, (sockaddr*)&sa, &nLen);
    nPort = ntohs(sa.sin_port);
    listen(hListen, 4);
    worker = std::thread([this] { Serve(); });
}

CSlowWebServer::~CSlowWebServer()
{
    bRelease = true;
    closesocket(hListen);
    worker.join();
}

void CSlowWebServer::Serve()
{
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(hListen, &fds);
    timeval tv = {20, 0};
    if (select(0, &fds, nullptr, nullptr, &tv) != 1)
        return;
    SOCKET hClient = accept(hListen, nullptr, nullptr);
    if (hClient == INVALID_SOCKET)
        return;
    char buffer[2048];
    recv(hClient, buffer, sizeof(buffer), 0);
    char szHead[256];
    int nSplit = 12; // "first half, "
    int nHead = snprintf(szHead, sizeof(szHead),
                         "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%.*s",
                         (int)strlen(szPage), nSplit, szPage);
    send(hClient, szHead, nHead, 0);
    WaitFor([&] { return bRelease.load(); }, 20000);
    send(hClient, szPage + nSplit, (int)strlen(szPage) - nSplit, 0);
    closesocket(hClient);
}
} // namespace gui

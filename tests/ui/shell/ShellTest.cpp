// ShellTest.cpp: Tollgate.exe as its user meets it: started as a separate process (the shipped
// program, or TollgateHook.exe where a test must see the tray or break the listener), driven
// through its hidden window, its menu and its dialogs, and watched through its windows, its
// port, its session log and its exit code.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "resource.h"
#include "tests/support/win32/GuiDriver.h"
#include "tests/ui/shell/hook/Hook.h"
#include "ui/Shell.h"

namespace
{
const int nWait = 15000;

std::string LastLine(const std::string& strText)
{
    size_t nEnd = strText.find_last_not_of("\r\n");
    if (nEnd == std::string::npos)
        return std::string();
    size_t nStart = strText.find_last_of('\n', nEnd);
    return strText.substr(nStart == std::string::npos ? 0 : nStart + 1, nEnd + 1 - (nStart + 1));
}

int CountOf(const std::string& strText, const char* pszWhat)
{
    int n = 0;
    for (size_t i = strText.find(pszWhat); i != std::string::npos; i = strText.find(pszWhat, i + 1))
        ++n;
    return n;
}

class Shell : public ::testing::Test
{
protected:
    void SetUp() override
    {
        nPort = gui::FreeLoopbackPort();
        gui::DeleteSettings();
        gui::SetServiceAddress("127.0.0.1", nPort);
        gui::SetSettingFlag("Auto Start", 0);
        gui::SetSettingFlag("setonce", 1); // not the first run, unless a test deletes it
        gui::SetSettingFlag("Log", 0);
    }
    void TearDown() override
    {
        program.Kill();
        gui::DeleteSettings();
    }

    // Logging on, into a fresh folder.
    void EnableLog()
    {
        strLogFolder = gui::MakeTempFolder("tglog");
        gui::SetSettingFlag("Log", 1);
        gui::SetSettingString("Log Folder", strLogFolder);
    }
    std::string LogFile(int n) const
    {
        return strLogFolder + (n == 0 ? std::string("ServerLog.txt") : "ServerLog[" + std::to_string(n) + "].txt");
    }
    int LogFileCount() const
    {
        int n = 0;
        while (GetFileAttributesA(LogFile(n).c_str()) != INVALID_FILE_ATTRIBUTES)
            ++n;
        return n;
    }

    // Starts the program and waits for its hidden window.
    bool Launch(const char* pszExe)
    {
        if (!program.Start(gui::WindowsPath(pszExe)))
            return false;
        hMain = gui::WaitForWindow(program.Pid(), "TOLLGATE", "", nWait, false);
        return hMain != nullptr;
    }

    // Asks TollgateHook.exe's test window; -1 when it does not answer.
    int HookQuery(UINT nMsg)
    {
        HWND hHook = gui::WaitForWindow(program.Pid(), HOOK_CLASS, "", 2000, false);
        DWORD_PTR nResult = 0;
        if (!hHook || !SendMessageTimeoutA(hHook, nMsg, 0, 0, SMTO_ABORTIFHUNG, 2000, &nResult))
            return -1;
        return (int)nResult;
    }
    int TrayState() { return HookQuery(WM_HOOK_TRAYSTATE); }
    bool WaitTrayState(int nState)
    {
        return gui::WaitFor([&] { return TrayState() == nState; }, nWait);
    }

    // Runs a menu command to its end (flows without a message box).
    void Command(UINT nId)
    {
        DWORD_PTR nResult;
        SendMessageTimeoutA(hMain, WM_COMMAND, nId, 0, SMTO_ABORTIFHUNG, nWait, &nResult);
    }
    void Tray(UINT nMouseMsg) { PostMessageA(hMain, WM_TRAYNOTIFY, TRAY_ICON_ID, nMouseMsg); }
    HWND WaitDialog(const char* pszCaption, int nTimeoutMs = nWait)
    {
        return gui::WaitForWindow(program.Pid(), "#32770", pszCaption, nTimeoutMs);
    }
    // The program's visible windows and message texts, for failure messages.
    std::string Describe()
    {
        std::string strOut = "windows:";
        for (HWND hWnd : gui::FindWindows(program.Pid(), nullptr, nullptr))
        {
            strOut += " [" + gui::WindowText(hWnd);
            if (GetDlgItem(hWnd, 0xFFFF))
                strOut += ": " + gui::MessageBoxText(hWnd);
            strOut += "]";
        }
        return strOut;
    }
    bool MenuAppears(int nTimeoutMs) { return gui::AppearsWithin(program.Pid(), "#32768", nullptr, nTimeoutMs); }

    gui::CProgram program;
    HWND hMain = nullptr;
    uint16_t nPort = 0;
    std::string strLogFolder;
};

TEST_F(Shell, SecondInstanceEndsSilentlyWithCode1)
{
    ASSERT_TRUE(Launch(TOLLGATE_EXE));
    gui::CProgram second;
    ASSERT_TRUE(second.Start(gui::WindowsPath(TOLLGATE_EXE)));
    DWORD nCode = 0;
    ASSERT_TRUE(second.WaitExit(nWait, &nCode));
    EXPECT_EQ(1u, nCode);
    EXPECT_TRUE(gui::FindWindows(second.Pid(), nullptr, nullptr).empty());
    // The first copy goes on serving.
    EXPECT_TRUE(gui::CanConnect(nPort));
}

TEST_F(Shell, FirstRunOpensOptionsOnceTheServerRunsLaterRunsDoNot)
{
    gui::DeleteSettings();
    gui::SetServiceAddress("127.0.0.1", nPort);
    gui::SetSettingFlag("Auto Start", 0);
    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    HWND hSheet = WaitDialog("Options");
    ASSERT_TRUE(hSheet);
    EXPECT_EQ(HOOK_STARTED, TrayState());
    EXPECT_TRUE(gui::CanConnect(nPort));
    EXPECT_TRUE(gui::HasSetting("setonce"));
    PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    EXPECT_TRUE(gui::WaitGone(hSheet, nWait));
    program.Kill();

    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    ASSERT_TRUE(WaitTrayState(HOOK_STARTED));
    EXPECT_FALSE(gui::AppearsWithin(program.Pid(), "#32770", "Options", 1500));
}

TEST_F(Shell, ServerCommandsFollowTheStateAndDoNothingWhenThereIsNothingToDo)
{
    EnableLog();
    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    ASSERT_TRUE(WaitTrayState(HOOK_STARTED));
    ASSERT_EQ(1, LogFileCount());

    Command(IDM_START); // running: nothing
    EXPECT_EQ(1, LogFileCount());
    EXPECT_EQ(1, CountOf(gui::ReadFileText(LogFile(0)), "Server started"));

    // The periodic refresh adds the icon again, which fails while it is still there: the tray
    // must go on following the server afterwards.
    PostMessageA(hMain, WM_TIMER, TRAY_TIMER_ID, 0);
    Command(IDM_STOP);
    EXPECT_EQ(HOOK_STOPPED, TrayState());
    EXPECT_FALSE(gui::CanConnect(nPort));
    EXPECT_NE(std::string::npos, LastLine(gui::ReadFileText(LogFile(0))).find("Server stopped"));

    Command(IDM_STOP);    // stopped: nothing
    Command(IDM_RESTART); // stopped: nothing
    EXPECT_EQ(1, LogFileCount());
    EXPECT_EQ(1, CountOf(gui::ReadFileText(LogFile(0)), "Server stopped"));
    EXPECT_EQ(HOOK_STOPPED, TrayState());

    Command(IDM_START);
    EXPECT_EQ(HOOK_STARTED, TrayState());
    EXPECT_TRUE(gui::CanConnect(nPort));
    Command(IDM_RESTART);
    EXPECT_EQ(HOOK_STARTED, TrayState());
    ASSERT_EQ(3, LogFileCount());
    EXPECT_NE(std::string::npos, LastLine(gui::ReadFileText(LogFile(1))).find("Server stopped"));
    EXPECT_NE(std::string::npos, LastLine(gui::ReadFileText(LogFile(2))).find("Server started"));
}

TEST_F(Shell, TrayMenuRunsTheChosenCommandAndExitEndsTheProgram)
{
    ASSERT_TRUE(Launch(TOLLGATE_EXE));
    ASSERT_TRUE(gui::WaitServerStarted(program.Pid(), nPort, nWait));
    Tray(WM_RBUTTONUP);
    HWND hMenu = gui::WaitForWindow(program.Pid(), "#32768", nullptr, nWait);
    ASSERT_TRUE(hMenu) << Describe();
    // About, Server, Options, Statistics: the fourth item.
    for (int i = 0; i < 4; ++i)
        PostMessageA(hMenu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(hMenu, WM_KEYDOWN, VK_RETURN, 0);
    HWND hStat = WaitDialog("Statistics");
    ASSERT_TRUE(hStat);
    EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hStat, IDC_ACTIVE) == "0"; }, nWait));

    // The Options sheet on top of it, then Exit while the server runs and both are open: the
    // windows close and the program ends.
    PostMessageA(hMain, WM_COMMAND, IDM_OPTIONS, 0);
    ASSERT_TRUE(WaitDialog("Options")) << Describe();
    PostMessageA(hMain, WM_COMMAND, IDM_EXIT, 0);
    DWORD nCode = 99;
    ASSERT_TRUE(program.WaitExit(nWait, &nCode));
    EXPECT_EQ(0u, nCode);
}

TEST_F(Shell, DoubleClickOpensAboutAndASecondBringsTheSameForward)
{
    ASSERT_TRUE(Launch(TOLLGATE_EXE));
    ASSERT_TRUE(gui::WaitServerStarted(program.Pid(), nPort, nWait));
    Tray(WM_LBUTTONDBLCLK);
    HWND hAbout = WaitDialog("About Tollgate");
    ASSERT_TRUE(hAbout) << Describe();
    EXPECT_EQ("Version: 1.0", gui::ItemText(hAbout, IDC_VERSION));
    EXPECT_EQ(GetDlgItem(hAbout, IDOK), gui::FocusOf(hAbout));

    Tray(WM_LBUTTONDBLCLK);
    DWORD_PTR nResult;
    SendMessageTimeoutA(hMain, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, nWait, &nResult);
    EXPECT_EQ(1u, gui::FindWindows(program.Pid(), "#32770", "About Tollgate").size());

    PostMessageA(GetDlgItem(hAbout, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(gui::WaitGone(hAbout, nWait));
}

TEST_F(Shell, PortInUseShowsTheStartupFailureAndTheTrayStaysStoppedAndDeaf)
{
    SOCKET hBlocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(hBlocker, (sockaddr*)&sa, sizeof(sa)));
    ASSERT_EQ(0, listen(hBlocker, 1));

    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    HWND hBox = gui::WaitForMessageBox(program.Pid(), "Tollgate", nWait);
    ASSERT_TRUE(hBox);
    std::string strText = gui::MessageBoxText(hBox);
    EXPECT_EQ(0u, strText.find("Server startup failed:\n\n")) << strText;
    EXPECT_NE(std::string::npos, strText.find("10048")) << strText;
    EXPECT_EQ(HOOK_STOPPED, TrayState());

    // The start is still in progress while its message shows: the tray opens no menu.
    Tray(WM_RBUTTONUP);
    EXPECT_FALSE(MenuAppears(1000));

    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(gui::WaitGone(hBox, nWait));
    EXPECT_EQ(HOOK_STOPPED, TrayState());
    Tray(WM_RBUTTONUP);
    HWND hMenu = gui::WaitForWindow(program.Pid(), "#32768", nullptr, nWait);
    EXPECT_TRUE(hMenu);
    if (hMenu)
        PostMessageA(hMenu, WM_KEYDOWN, VK_ESCAPE, 0);
    closesocket(hBlocker);
}

TEST_F(Shell, ListenerThatDiesShowsWentDownAndTheLogEndsWithIt)
{
    EnableLog();
    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    ASSERT_TRUE(WaitTrayState(HOOK_STARTED));

    HWND hHook = gui::WaitForWindow(program.Pid(), HOOK_CLASS, "", nWait, false);
    ASSERT_TRUE(hHook);
    PostMessageA(hHook, WM_HOOK_DROPLISTENER, 0, 0);
    HWND hBox = gui::WaitForMessageBox(program.Pid(), "Tollgate", nWait);
    ASSERT_TRUE(hBox);
    EXPECT_EQ(0u, gui::MessageBoxText(hBox).find("Server went down:\n\n")) << gui::MessageBoxText(hBox);
    EXPECT_EQ(HOOK_STOPPED, TrayState());
    EXPECT_NE(std::string::npos, LastLine(gui::ReadFileText(LogFile(0))).find("\"Server went down\""));
    EXPECT_FALSE(gui::CanConnect(nPort));

    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(gui::WaitGone(hBox, nWait));
    // The listener waits in its report of the failure while the box is open and ends only after
    // it: until then the server still counts as running and a start does nothing.
    EXPECT_TRUE(gui::WaitFor([&] { return HookQuery(WM_HOOK_SERVERRUNNING) == 0; }, nWait));
    Command(IDM_START);
    EXPECT_EQ(HOOK_STARTED, TrayState());
}

// Opens the Options sheet, lets the change act on the General page, and confirms with OK.
HWND ConfirmOptions(DWORD nPid, HWND hMain, const std::function<void(HWND hGeneral)>& change)
{
    PostMessageA(hMain, WM_COMMAND, IDM_OPTIONS, 0);
    HWND hSheet = gui::WaitForWindow(nPid, "#32770", "Options", nWait);
    if (!hSheet)
        return nullptr;
    HWND hGeneral = (HWND)SendMessageA(hSheet, PSM_GETCURRENTPAGEHWND, 0, 0);
    change(hGeneral);
    PostMessageA(hSheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    return hSheet;
}

void SetItem(HWND hDlg, int nId, const std::string& strText)
{
    SendMessageA(GetDlgItem(hDlg, nId), WM_SETTEXT, 0, (LPARAM)strText.c_str());
}

TEST_F(Shell, OptionsAskForARestartOnlyWhenWhatTheRunningServerCapturedChanged)
{
    EnableLog();
    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    ASSERT_TRUE(WaitTrayState(HOOK_STARTED));
    const char szQuestion[] = "The server must be restarted before the changes take effect.\n\n"
                              "Do you want to restart the server now?";

    // The limit is read at each use: no question.
    HWND hSheet = ConfirmOptions(program.Pid(), hMain, [](HWND hGeneral) { SetItem(hGeneral, IDC_LIMIT, "50"); });
    ASSERT_TRUE(gui::WaitGone(hSheet, nWait));
    EXPECT_FALSE(gui::WaitForMessageBox(program.Pid(), "Tollgate", 1000));

    // The same log folder in other letter case: no question.
    std::string strUpper = strLogFolder;
    for (char& ch : strUpper)
        ch = (char)toupper((unsigned char)ch);
    hSheet = ConfirmOptions(program.Pid(), hMain, [&](HWND hGeneral) { SetItem(hGeneral, IDC_LOG_FOLDER, strUpper); });
    ASSERT_TRUE(gui::WaitGone(hSheet, nWait));
    EXPECT_FALSE(gui::WaitForMessageBox(program.Pid(), "Tollgate", 1000));

    // Another port: the question; No keeps the server on the old port, the new one is saved.
    uint16_t nNewPort = gui::FreeLoopbackPort();
    ConfirmOptions(program.Pid(), hMain,
                   [&](HWND hGeneral) { SetItem(hGeneral, IDC_PORT, std::to_string(nNewPort)); });
    HWND hBox = gui::WaitForMessageBox(program.Pid(), "Tollgate", nWait);
    ASSERT_TRUE(hBox);
    EXPECT_EQ(szQuestion, gui::MessageBoxText(hBox));
    PostMessageA(hBox, WM_COMMAND, IDNO, 0);
    ASSERT_TRUE(gui::WaitGone(hBox, nWait));
    EXPECT_TRUE(gui::CanConnect(nPort));
    EXPECT_EQ(1, LogFileCount());

    // Logging switched off: the question again; Yes restarts on the new port, without a log.
    ConfirmOptions(program.Pid(), hMain, [](HWND hGeneral) {
        PostMessageA(GetDlgItem(hGeneral, IDC_LOG), BM_CLICK, 0, 0);
        DWORD_PTR nResult;
        SendMessageTimeoutA(hGeneral, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, nWait, &nResult);
    });
    hBox = gui::WaitForMessageBox(program.Pid(), "Tollgate", nWait);
    ASSERT_TRUE(hBox);
    PostMessageA(hBox, WM_COMMAND, IDYES, 0);
    EXPECT_TRUE(gui::WaitFor([&] { return gui::CanConnect(nNewPort); }, nWait));
    EXPECT_FALSE(gui::CanConnect(nPort));
    EXPECT_TRUE(WaitTrayState(HOOK_STARTED));
    EXPECT_NE(std::string::npos, LastLine(gui::ReadFileText(LogFile(0))).find("Server stopped"));
    EXPECT_EQ(1, LogFileCount());

    // While the server is stopped nothing is asked.
    Command(IDM_STOP);
    hSheet = ConfirmOptions(program.Pid(), hMain, [&](HWND hGeneral) { SetItem(hGeneral, IDC_PORT, std::to_string(nPort)); });
    ASSERT_TRUE(gui::WaitGone(hSheet, nWait));
    EXPECT_FALSE(gui::WaitForMessageBox(program.Pid(), "Tollgate", 1000));
}

TEST_F(Shell, CurlFetchesAPageThroughTheProgramAndStatisticsShowsTheSession)
{
    gui::CSlowWebServer web;
    ASSERT_TRUE(Launch(TOLLGATE_EXE));
    ASSERT_TRUE(gui::WaitServerStarted(program.Pid(), nPort, nWait));

    // Native curl, the name resolved by the proxy.
    const std::string strOut = "/tmp/tg-shell-curl-" + std::to_string(GetCurrentProcessId()) + ".txt";
    std::string strDone = gui::StartUnixShell("curl -s --max-time 30 --socks5-hostname 127.0.0.1:" +
                                              std::to_string(nPort) + " http://localhost:" +
                                              std::to_string(web.Port()) + "/page -o " + strOut);
    ASSERT_FALSE(strDone.empty());

    PostMessageA(hMain, WM_COMMAND, IDM_STATISTICS, 0);
    HWND hStat = WaitDialog("Statistics");
    ASSERT_TRUE(hStat) << Describe();
    EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hStat, IDC_ACTIVE) == "1"; }, nWait)) << Describe();
    // The first half of the page has passed the proxy.
    EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hStat, IDC_DST_TCP) != "0"; }, nWait));
    EXPECT_FALSE(gui::ItemText(hStat, IDC_STARTED).empty());

    web.Release();
    EXPECT_EQ(0, gui::WaitUnixShell(strDone, 30000));
    EXPECT_EQ(gui::CSlowWebServer::szPage, gui::ReadFileText(gui::WindowsPath(strOut)));
    DeleteFileA(gui::WindowsPath(strOut).c_str());
    EXPECT_TRUE(gui::WaitFor([&] { return gui::ItemText(hStat, IDC_ACTIVE) == "0"; }, nWait));
}
// The session's end is first only asked about: another program may refuse it, and the session
// then goes on with a program that still serves and still answers its tray.
TEST_F(Shell, EndOfSessionThatIsCancelledLeavesTheProgramWorking)
{
    EnableLog();
    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    ASSERT_TRUE(WaitTrayState(HOOK_STARTED));
    PostMessageA(hMain, WM_COMMAND, IDM_STATISTICS, 0);
    HWND hStat = WaitDialog("Statistics");
    ASSERT_TRUE(hStat) << Describe();

    DWORD_PTR nResult = 0;
    ASSERT_TRUE(SendMessageTimeoutA(hMain, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, nWait,
                                    &nResult));
    EXPECT_EQ(1u, nResult); // the session may end
    ASSERT_TRUE(SendMessageTimeoutA(hMain, WM_ENDSESSION, FALSE, 0, SMTO_ABORTIFHUNG, nWait, &nResult));
    EXPECT_TRUE(IsWindowVisible(hStat));
    PostMessageA(GetDlgItem(hStat, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(gui::WaitGone(hStat, nWait));

    Command(IDM_STOP);
    EXPECT_EQ(HOOK_STOPPED, TrayState());
    EXPECT_NE(std::string::npos, LastLine(gui::ReadFileText(LogFile(0))).find("Server stopped"));
    Command(IDM_START);
    EXPECT_EQ(HOOK_STARTED, TrayState());
    EXPECT_TRUE(gui::CanConnect(nPort));
    Tray(WM_RBUTTONUP);
    HWND hMenu = gui::WaitForWindow(program.Pid(), "#32768", nullptr, nWait);
    EXPECT_TRUE(hMenu) << Describe();
    if (hMenu)
        PostMessageA(hMenu, WM_KEYDOWN, VK_ESCAPE, 0);
}

// The session that does end closes the program, as Exit does.
TEST_F(Shell, EndOfSessionThatHappensEndsTheProgram)
{
    ASSERT_TRUE(Launch(TOLLGATE_EXE));
    ASSERT_TRUE(gui::WaitServerStarted(program.Pid(), nPort, nWait));
    DWORD_PTR nResult = 0;
    SendMessageTimeoutA(hMain, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, nWait, &nResult);
    PostMessageA(hMain, WM_ENDSESSION, TRUE, 0);
    DWORD nCode = 99;
    ASSERT_TRUE(program.WaitExit(nWait, &nCode));
    EXPECT_EQ(0u, nCode);
}

// The Restart Manager asks a program to go with WM_CLOSE before it replaces or removes its files:
// it ends as Exit ends it, without the stop's "Server stopped".
TEST_F(Shell, CloseMessageEndsTheProgramAsExitDoes)
{
    EnableLog();
    ASSERT_TRUE(Launch(TOLLGATE_EXE));
    ASSERT_TRUE(gui::WaitServerStarted(program.Pid(), nPort, nWait));
    PostMessageA(hMain, WM_CLOSE, 0, 0);
    DWORD nCode = 99;
    ASSERT_TRUE(program.WaitExit(nWait, &nCode)) << Describe();
    EXPECT_EQ(0u, nCode);
    std::string strLog = gui::ReadFileText(LogFile(0));
    EXPECT_EQ(1, CountOf(strLog, "\"Server started\"")) << strLog;
    EXPECT_EQ(0, CountOf(strLog, "\"Server stopped\"")) << strLog;
    EXPECT_FALSE(gui::CanConnect(nPort));
}

// The tray shows the image drawn for the small-icon size; a notification area created anew
// (Explorer restarted, TaskbarCreated) gets the icon back at once.
TEST_F(Shell, TrayHoldsTheSmallIconAndGetsItBackWhenTheTaskbarIsCreatedAgain)
{
    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    ASSERT_TRUE(WaitTrayState(HOOK_STARTED));
    EXPECT_EQ(GetSystemMetrics(SM_CXSMICON), HookQuery(WM_HOOK_TRAYICONSIZE));
    ASSERT_EQ(1, HookQuery(WM_HOOK_ICONINTRAY));
    ASSERT_EQ(1, HookQuery(WM_HOOK_DROPICON));
    ASSERT_EQ(0, HookQuery(WM_HOOK_ICONINTRAY));

    DWORD_PTR nResult;
    ASSERT_TRUE(SendMessageTimeoutA(hMain, RegisterWindowMessageA("TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG,
                                    nWait, &nResult));
    EXPECT_EQ(1, HookQuery(WM_HOOK_ICONINTRAY));
    EXPECT_EQ(HOOK_STARTED, TrayState());
    Command(IDM_STOP);
    EXPECT_EQ(HOOK_STOPPED, TrayState());
}

// The folder chooser needs OLE on the user-interface thread: it is there from the start.
TEST_F(Shell, OleIsInitialisedOnTheUserInterfaceThread)
{
    ASSERT_TRUE(Launch(TOLLGATE_HOOK_EXE));
    ASSERT_TRUE(WaitTrayState(HOOK_STARTED));
    EXPECT_EQ(1, HookQuery(WM_HOOK_OLEREADY));
}
// A listener that dies the moment it has started: its report waits until the start has shown the
// started state, so the tray ends stopped, its icon and tip agreeing.
TEST_F(Shell, ServerThatGoesDownAtOnceLeavesTheTrayStopped)
{
    SetEnvironmentVariableA("TG_HOOK_ACCEPT_FAILS", "1");
    bool bLaunched = Launch(TOLLGATE_HOOK_EXE);
    SetEnvironmentVariableA("TG_HOOK_ACCEPT_FAILS", nullptr);
    ASSERT_TRUE(bLaunched);
    HWND hBox = gui::WaitForMessageBox(program.Pid(), "Tollgate", nWait);
    ASSERT_TRUE(hBox) << Describe();
    EXPECT_EQ(0u, gui::MessageBoxText(hBox).find("Server went down:\n\n")) << gui::MessageBoxText(hBox);
    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(gui::WaitGone(hBox, nWait));
    EXPECT_TRUE(gui::WaitFor([&] { return HookQuery(WM_HOOK_SERVERRUNNING) == 0; }, nWait));
    DWORD_PTR nResult;
    SendMessageTimeoutA(hMain, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, nWait, &nResult);
    EXPECT_EQ(HOOK_STOPPED, TrayState());
}
} // namespace

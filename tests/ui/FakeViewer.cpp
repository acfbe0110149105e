// FakeViewer.cpp: fakeviewer.exe, a document viewer that only records how it was started.
//
// It appends its whole command line and a CR LF to the file named by the environment variable
// TG_VIEWER_LOG (fakeviewer.log in the current folder without it) and exits with code 0.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char szLog[MAX_PATH] = "fakeviewer.log";
    GetEnvironmentVariableA("TG_VIEWER_LOG", szLog, sizeof(szLog));
    // Viewers started one after another may overlap: each line is one write at the end.
    HANDLE hFile = INVALID_HANDLE_VALUE;
    for (int nTry = 0; nTry < 200 && hFile == INVALID_HANDLE_VALUE; nTry++, Sleep(10))
        hFile = CreateFileA(szLog, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 1;
    char szLine[4096];
    lstrcpynA(szLine, GetCommandLineA(), sizeof(szLine) - 2);
    lstrcatA(szLine, "\r\n");
    DWORD dwWritten;
    WriteFile(hFile, szLine, lstrlenA(szLine), &dwWritten, nullptr);
    CloseHandle(hFile);
    return 0;
}

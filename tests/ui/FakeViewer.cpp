// FakeViewer.cpp: fakeviewer.exe, a document viewer that only records how it was started.
//
// Registered as the open command of a document type, it appends its whole command line and a
// CR LF to the file named by the environment variable TG_VIEWER_LOG (fakeviewer.log beside the
// program without it) and exits with code 0, so a test sees exactly what the program started.
#include <windows.h>

#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char szLog[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("TG_VIEWER_LOG", szLog, sizeof(szLog));
    if (n == 0 || n >= sizeof(szLog))
    {
        n = GetModuleFileNameA(nullptr, szLog, sizeof(szLog) - 16);
        char* pszSlash = strrchr(szLog, '\\');
        if (n == 0 || pszSlash == nullptr)
            return 2;
        strcpy(pszSlash + 1, "fakeviewer.log");
    }
    // Several viewers may start at once: each line is one write at the end of the file.
    HANDLE hFile = INVALID_HANDLE_VALUE;
    for (int nTry = 0; nTry < 200 && hFile == INVALID_HANDLE_VALUE; nTry++)
    {
        hFile = CreateFileA(szLog, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE)
            Sleep(10);
    }
    if (hFile == INVALID_HANDLE_VALUE)
        return 1;
    const char* pszLine = GetCommandLineA();
    char szLine[4096];
    int nLength = lstrlenA(pszLine);
    if (nLength > (int)sizeof(szLine) - 3)
        nLength = sizeof(szLine) - 3;
    memcpy(szLine, pszLine, nLength);
    memcpy(szLine + nLength, "\r\n", 2);
    DWORD dwWritten;
    WriteFile(hFile, szLine, nLength + 2, &dwWritten, nullptr);
    CloseHandle(hFile);
    return 0;
}

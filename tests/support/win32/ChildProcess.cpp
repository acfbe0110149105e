// ChildProcess.cpp: child processes and files for the Windows tests.
#include "tests/support/win32/ChildProcess.h"

#include <windows.h>

int64_t RunChildProcess(const std::string& strCommandLine, const std::string& strFolder, uint32_t nTimeoutMs)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::vector<char> commandLine(strCommandLine.begin(), strCommandLine.end());
    commandLine.push_back(0);
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        strFolder.empty() ? nullptr : strFolder.c_str(), &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    int64_t nResult = -1;
    if (WaitForSingleObject(process.hProcess, nTimeoutMs) == WAIT_OBJECT_0)
    {
        DWORD nExitCode = 0;
        if (GetExitCodeProcess(process.hProcess, &nExitCode))
            nResult = nExitCode;
    }
    else
    {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hProcess);
    return nResult;
}

std::string TestExecutableFolder()
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string path(szPath);
    return path.substr(0, path.rfind('\\') + 1);
}

void MakeEmptyFolder(const std::string& strPath)
{
    CreateDirectoryA(strPath.c_str(), nullptr);
    for (const std::string& name : ListFiles(strPath, "*"))
        DeleteFileA((strPath + "\\" + name).c_str());
}

std::vector<std::string> ListFiles(const std::string& strFolder, const std::string& strPattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA((strFolder + "\\" + strPattern).c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(found.cFileName);
    } while (FindNextFileA(hFind, &found));
    FindClose(hFind);
    return names;
}

bool FileExists(const std::string& strPath)
{
    return GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ReportLines.cpp: report lines and the module list.
#include "crash/ReportLines.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <windows.h>
#include <tlhelp32.h>

#include "crash/FaultGuard.h"

void WriteReportLine(const char* pszText, CDiskFile& file)
{
    file.Write(pszText, (uint32_t)strlen(pszText));
    file.Write("\r\n", 2);
}

namespace
{
typedef HANDLE(WINAPI* PFN_CreateToolhelp32Snapshot)(DWORD, DWORD);
typedef BOOL(WINAPI* PFN_Module32)(HANDLE, MODULEENTRY32*);

struct SModuleWalk
{
    HANDLE hSnapshot;
    PFN_Module32 pfnFirst;
    PFN_Module32 pfnNext;
    CDiskFile* pFile;
    char* pVersionBuffer;
};

const uint32_t VERSION_BUFFER_SIZE = 20000;

void WriteModuleLine(const MODULEENTRY32& entry, SModuleWalk& walk)
{
    // A module without version information gets no line.
    if (!GetFileVersionInfoA(entry.szExePath, 0, VERSION_BUFFER_SIZE, walk.pVersionBuffer))
        return;
    char szLine[1024];
    void* pValue = nullptr;
    UINT nLength = 0;
    if (VerQueryValueA(walk.pVersionBuffer, "\\", &pValue, &nLength) && pValue)
    {
        const VS_FIXEDFILEINFO* pFixed = (const VS_FIXEDFILEINFO*)pValue;
        snprintf(szLine, sizeof(szLine),
                 "%s Product Version = %d.%d.%d.%d  File Version = %d.%d.%d.%d Base=%08" PRIXPTR " Size=%08X",
                 entry.szExePath, HIWORD(pFixed->dwProductVersionMS), LOWORD(pFixed->dwProductVersionMS),
                 HIWORD(pFixed->dwProductVersionLS), LOWORD(pFixed->dwProductVersionLS),
                 HIWORD(pFixed->dwFileVersionMS), LOWORD(pFixed->dwFileVersionMS),
                 HIWORD(pFixed->dwFileVersionLS), LOWORD(pFixed->dwFileVersionLS),
                 (uintptr_t)entry.modBaseAddr, (unsigned)entry.modBaseSize);
    }
    else
    {
        snprintf(szLine, sizeof(szLine), "%s", entry.szExePath);
    }
    WriteReportLine(szLine, *walk.pFile);
}

void WalkModules(void* pArg)
{
    SModuleWalk& walk = *(SModuleWalk*)pArg;
    MODULEENTRY32 entry;
    memset(&entry, 0, sizeof(entry));
    entry.dwSize = sizeof(entry); // the ANSI form: 548 bytes on 32-bit Windows, 568 on x64
    for (BOOL bMore = walk.pfnFirst(walk.hSnapshot, &entry); bMore;
         bMore = walk.pfnNext(walk.hSnapshot, &entry))
        WriteModuleLine(entry, walk);
}
} // namespace

void WriteModuleList(CDiskFile& file)
{
    HMODULE hKernel = LoadLibraryA("Kernel32.dll");
    if (!hKernel)
        return;
    PFN_CreateToolhelp32Snapshot pfnSnapshot =
        (PFN_CreateToolhelp32Snapshot)(void*)GetProcAddress(hKernel, "CreateToolhelp32Snapshot");
    SModuleWalk walk;
    walk.pfnFirst = (PFN_Module32)(void*)GetProcAddress(hKernel, "Module32First");
    walk.pfnNext = (PFN_Module32)(void*)GetProcAddress(hKernel, "Module32Next");
    if (!pfnSnapshot || !walk.pfnFirst || !walk.pfnNext)
        return;
    walk.hSnapshot = pfnSnapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
    if (walk.hSnapshot == INVALID_HANDLE_VALUE)
        return;
    walk.pFile = &file;
    walk.pVersionBuffer = new char[VERSION_BUFFER_SIZE];
    try
    {
        // A fault ends the list where it happened.
        CallGuarded(WalkModules, &walk);
    }
    catch (CDiskFileException*)
    {
        delete[] walk.pVersionBuffer;
        CloseHandle(walk.hSnapshot);
        throw;
    }
    delete[] walk.pVersionBuffer;
    CloseHandle(walk.hSnapshot);
}

// FakeViewer.cpp: the fake viewer's registration and its recorded command lines.
#include "tests/support/win32/FakeViewer.h"

#include <windows.h>

#include <fstream>

namespace
{
const char szClassPrefix[] = "TollgateTest";

void SetDefault(const std::string& strKey, const std::string& strValue)
{
    RegSetValueA(HKEY_CLASSES_ROOT, strKey.c_str(), REG_SZ, strValue.c_str(), (DWORD)strValue.size());
}

void DeleteTree(const std::string& strKey)
{
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, strKey.c_str(), 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
        return;
    char szSub[256];
    while (RegEnumKeyA(hKey, 0, szSub, sizeof(szSub)) == ERROR_SUCCESS)
        DeleteTree(strKey + "\\" + szSub);
    RegCloseKey(hKey);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, strKey.c_str());
}
} // namespace

std::string CFakeViewer::ProgramFolder()
{
    char szPath[MAX_PATH];
    std::string str(szPath, GetModuleFileNameA(nullptr, szPath, sizeof(szPath)));
    return str.substr(0, str.rfind('\\') + 1);
}

std::string CFakeViewer::ViewerPath()
{
    return ProgramFolder() + "fakeviewer.exe";
}

CFakeViewer::CFakeViewer()
{
    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    strLog = std::string(szTemp) + "tgviewer-" + std::to_string(GetCurrentProcessId()) + ".log";
    DeleteFileA(strLog.c_str());
    SetEnvironmentVariableA("TG_VIEWER_LOG", strLog.c_str());
}

CFakeViewer::~CFakeViewer()
{
    for (size_t i = 0; i < types.size(); i++)
    {
        if (oldClasses[i].empty())
            DeleteTree(types[i]);
        else
            SetDefault(types[i], oldClasses[i]);
        DeleteTree(szClassPrefix + types[i]);
    }
    SetEnvironmentVariableA("TG_VIEWER_LOG", nullptr);
    DeleteFileA(strLog.c_str());
}

void CFakeViewer::Register(const char* pszType, const char* pszTemplate, const char* pszVerb)
{
    std::string strClass = szClassPrefix + std::string(pszType);
    char szOld[1024];
    LONG nSize = sizeof(szOld);
    bool bHad = RegQueryValueA(HKEY_CLASSES_ROOT, pszType, szOld, &nSize) == ERROR_SUCCESS;
    if (!bHad || strClass != szOld)
    {
        types.push_back(pszType);
        oldClasses.push_back(bHad ? szOld : "");
        SetDefault(pszType, strClass);
    }
    std::string strCommand(pszTemplate);
    size_t nPos = strCommand.find("{viewer}");
    if (nPos != std::string::npos)
        strCommand.replace(nPos, 8, ViewerPath());
    SetDefault(strClass + "\\Shell\\" + pszVerb + "\\Command", strCommand);
}

std::vector<std::string> CFakeViewer::WaitForLines(size_t nLines, int nTimeoutMs) const
{
    std::vector<std::string> lines;
    for (DWORD dwStart = GetTickCount();; Sleep(20))
    {
        lines.clear();
        std::ifstream in(strLog, std::ios::binary);
        for (std::string strLine; std::getline(in, strLine);)
            lines.push_back(strLine.substr(0, strLine.find('\r')));
        if (lines.size() >= nLines || (int)(GetTickCount() - dwStart) >= nTimeoutMs)
            return lines;
    }
}

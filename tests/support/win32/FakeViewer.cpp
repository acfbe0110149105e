// FakeViewer.cpp: the fake viewer's registration and its recorded command lines.
#include "tests/support/win32/FakeViewer.h"

#include <fstream>
#include <sstream>

namespace
{
void SetDefault(HKEY hRoot, const std::string& strKey, const std::string& strValue)
{
    HKEY hKey;
    if (RegCreateKeyExA(hRoot, strKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(strValue.c_str()),
                   (DWORD)strValue.size() + 1);
    RegCloseKey(hKey);
}

bool GetDefault(HKEY hRoot, const std::string& strKey, std::string* pstrValue)
{
    char szValue[1024];
    LONG nSize = sizeof(szValue);
    if (RegQueryValueA(hRoot, strKey.c_str(), szValue, &nSize) != ERROR_SUCCESS)
        return false;
    *pstrValue = szValue;
    return true;
}
} // namespace

std::string CFakeViewer::ProgramFolder()
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    std::string str(szPath);
    return str.substr(0, str.rfind('\\') + 1);
}

std::string CFakeViewer::ViewerPath()
{
    return ProgramFolder() + "fakeviewer.exe";
}

CFakeViewer::CFakeViewer(const char* pszType, const char* pszTemplate, const char* pszVerb)
{
    static int nSerial = 0;
    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    strLog = std::string(szTemp) + "tgviewer-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(nSerial++) + ".log";
    DeleteFileA(strLog.c_str());
    SetEnvironmentVariableA("TG_VIEWER_LOG", strLog.c_str());
    AddType(pszType, nullptr);
    AddVerb(pszVerb, pszTemplate);
}

CFakeViewer::~CFakeViewer()
{
    for (const SType& type : types)
    {
        if (type.bHadClass)
            SetDefault(HKEY_CLASSES_ROOT, type.strType, type.strOldClass);
        else
            RegDeleteKeyA(HKEY_CLASSES_ROOT, type.strType.c_str());
        for (const char* pszKey : {"\\Shell\\Open\\Command", "\\Shell\\opennew\\Command", "\\Shell\\Open",
                                   "\\Shell\\opennew", "\\Shell", ""})
            RegDeleteKeyA(HKEY_CLASSES_ROOT, (type.strClass + pszKey).c_str());
    }
    SetEnvironmentVariableA("TG_VIEWER_LOG", nullptr);
    DeleteFileA(strLog.c_str());
}

void CFakeViewer::AddType(const char* pszType, const char* pszTemplate)
{
    SType type;
    type.strType = pszType;
    type.strClass = std::string("TollgateTest") + pszType;
    type.bHadClass = GetDefault(HKEY_CLASSES_ROOT, type.strType, &type.strOldClass);
    SetDefault(HKEY_CLASSES_ROOT, type.strType, type.strClass);
    types.push_back(type);
    if (pszTemplate != nullptr)
        SetDefault(HKEY_CLASSES_ROOT, type.strClass + "\\Shell\\Open\\Command", Expand(pszTemplate));
}

void CFakeViewer::AddVerb(const char* pszVerb, const char* pszTemplate)
{
    SetDefault(HKEY_CLASSES_ROOT, types[0].strClass + "\\Shell\\" + pszVerb + "\\Command",
               Expand(pszTemplate));
}

std::string CFakeViewer::Expand(const char* pszTemplate) const
{
    std::string str(pszTemplate);
    size_t nPos = str.find("{viewer}");
    if (nPos != std::string::npos)
        str.replace(nPos, 8, ViewerPath());
    return str;
}

std::vector<std::string> CFakeViewer::WaitForLines(size_t nLines, int nTimeoutMs) const
{
    std::vector<std::string> lines;
    DWORD dwStart = GetTickCount();
    for (;;)
    {
        lines.clear();
        std::ifstream in(strLog, std::ios::binary);
        std::string strLine;
        while (std::getline(in, strLine))
        {
            if (!strLine.empty() && strLine.back() == '\r')
                strLine.pop_back();
            lines.push_back(strLine);
        }
        if (lines.size() >= nLines || (int)(GetTickCount() - dwStart) >= nTimeoutMs)
            return lines;
        Sleep(20);
    }
}

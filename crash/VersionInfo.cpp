// VersionInfo.cpp: reading SVersionInfo from a module's version resource.
#include "crash/VersionInfo.h"

#include <cstdio>

#include <windows.h>

namespace
{
// The version block of one file, freed whatever way the read ends.
class CVersionBlock
{
public:
    CVersionBlock() : pData(nullptr) {}
    ~CVersionBlock() { delete[] pData; }

    bool Load(const char* pszPath)
    {
        DWORD dwHandle = 0;
        DWORD nSize = GetFileVersionInfoSizeA(pszPath, &dwHandle);
        if (nSize == 0)
            return false;
        pData = new char[nSize];
        return GetFileVersionInfoA(pszPath, 0, nSize, pData) != FALSE;
    }

    bool Query(const char* pszSubBlock, void** ppValue, UINT* pnLength)
    {
        return VerQueryValueA(pData, pszSubBlock, ppValue, pnLength) != FALSE && *ppValue != nullptr;
    }

    char* pData;

private:
    CVersionBlock(const CVersionBlock&) = delete;
    CVersionBlock& operator=(const CVersionBlock&) = delete;
};

struct STranslation
{
    WORD wLanguage;
    WORD wCodePage;
};
} // namespace

bool SVersionInfo::Read(const char* pszPath)
{
    CVersionBlock block;
    if (!block.Load(pszPath))
        return false;

    void* pValue = nullptr;
    UINT nLength = 0;
    if (!block.Query("\\", &pValue, &nLength))
        return false;
    const VS_FIXEDFILEINFO* pFixed = (const VS_FIXEDFILEINFO*)pValue;
    int64_t nFolded =
        (((int64_t)HIWORD(pFixed->dwFileVersionMS) * 10 + LOWORD(pFixed->dwFileVersionMS)) * 10 +
         HIWORD(pFixed->dwFileVersionLS)) *
            10 +
        LOWORD(pFixed->dwFileVersionLS);
    if (nFolded < 10 || nFolded > 9999)
        return false;
    number = (int)nFolded;

    // "%04u" less its last digit, less a trailing zero after that, with a point after the first
    // digit: 1201 -> 120 -> 12 -> 1.2.
    text.Format("%04u", (unsigned)number);
    text.Delete(text.GetLength() - 1, 1);
    if (text.GetString()[text.GetLength() - 1] == '0')
        text.Delete(text.GetLength() - 1, 1);
    text.Insert(1, ".", 1);

    // Exactly one translation entry (4 bytes; a second one would make it 8), code page 0.
    if (!block.Query("\\VarFileInfo\\Translation", &pValue, &nLength) || nLength < 4 || nLength > 7)
        return false;
    const STranslation* pTranslation = (const STranslation*)pValue;
    if (pTranslation->wCodePage != 0)
        return false;

    char szSubBlock[128];
    snprintf(szSubBlock, sizeof(szSubBlock), "\\StringFileInfo\\%04x%04x\\OriginalFilename",
             pTranslation->wLanguage, 0);
    if (!block.Query(szSubBlock, &pValue, &nLength))
        return false;
    originalFilename.SetText((const char*)pValue);

    snprintf(szSubBlock, sizeof(szSubBlock), "\\StringFileInfo\\%04x%04x\\ProductName",
             pTranslation->wLanguage, pTranslation->wCodePage);
    if (!block.Query(szSubBlock, &pValue, &nLength))
        return false;
    productName.SetText((const char*)pValue);
    return true;
}

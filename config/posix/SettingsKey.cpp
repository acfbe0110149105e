// SettingsKey.cpp (POSIX): the settings key kept in one REGEDIT4 text file.
//
// Opening the key reads and parses the whole file; reads and writes work on that copy; closing
// the key writes the file back when a value was written. The file holds the key
// [HKEY_CURRENT_USER\Software\Kestrel Co\Tollgate]; other keys found in it are kept as they are
// (comments are not: the file is written out whole from its keys, with the comment lines the
// program asks for above their values, SetSettingsFileComments).
//
// The file is replaced, never rewritten in place (SysReplaceFile: the new text goes to
// "<file>.new-<pid>", is flushed to the disk, renamed over "<file>", and the folder is flushed
// too). A crash or a full disk at any point leaves either the old file or the new one. A file that cannot be opened or read this time
// (a symbolic link to nothing included) gives none of its values for this run and is left alone. A
// file that was read but cannot be used (not a plain file, malformed) gives none of its values, is
// reported on the standard error once, and is renamed to "<file>.bad-<n>" before anything is
// written over its name. What the caller then serves is its own choice: the headless proxy serves
// this machine only (headless/HeadlessStore.h).
//
// The file is opened without waiting and examined before it is read (SysOpenPlainFile): a FIFO or
// a device at the path must not hang the program, and only a plain file is ever read.
#include "config/SettingsStore.h"

#include <cstdio>
#include <cstring>

#include "foundation/TextHelpers.h"

namespace
{
const char szKeyPath[] = "HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate";
const char szDefaultLeaf[] = "/tollgate/tollgate.reg";

// A settings file is a few kilobytes; even a list of many thousand ranges stays far below this.
const int64_t MAX_FILE_SIZE = 16 * 1024 * 1024;
// Names tried for keeping a bad file: <file>.bad-1 to <file>.bad-9999.
const int MAX_BAD_COPIES = 9999;

CCArray s_strStorePath;   // empty: the default path
bool s_bReported = false; // the trouble of s_strReported was told: it is said once
CCArray s_strReported;
CCArray s_strTrouble; // what the last OpenSettingsKey found wrong with the file; empty: nothing
const SRegValueComment* s_pComments = nullptr; // written above their values; null: none

void ReportOnce(const CCArray& strPath, const char* pszWhat)
{
    if (s_bReported && strcmp(s_strReported.GetString(), strPath.GetString()) == 0)
        return;
    s_bReported = true;
    s_strReported = strPath;
    fprintf(stderr,
            "tollgate: the settings file %s cannot be used (%s); none of its values are taken. The file "
            "is kept: it is renamed to %s.bad-<n> before the settings are next saved.\n",
            strPath.GetString(), pszWhat, strPath.GetString());
}

// What ReadWholeFile found.
enum
{
    READ_FAILED = -2, // the file could not be opened or read this time: nothing is known about it
    READ_UNUSABLE = -1,
    READ_NO_FILE = 0,
    READ_DONE = 1,
};

// The system's text for the last error, for the standard error.
CCArray LastErrorText()
{
    CCArray strText;
    GetSystemErrorText(strText, SysGetLastError());
    return strText;
}

// Reads the whole file; strWhat says why it failed. A failure to open or read it (out of
// descriptors or memory, an I/O error, no permission) says nothing about the file itself, which
// may be perfectly good: only a file that was read and is not a settings file is unusable.
int ReadWholeFile(const char* pszPath, CCArray& strText, CCArray& strWhat)
{
    FILEHANDLE h;
    uint64_t nSize;
    switch (SysOpenPlainFile(pszPath, &h, &nSize))
    {
    case SYSOPEN_MISSING:
        return READ_NO_FILE;
    case SYSOPEN_LINK_TO_NOTHING:
    {
        // Its target may come back (a disk not mounted yet, say), so it is neither read nor
        // replaced.
        char szTarget[1024];
        if (SysLinkText(pszPath, szTarget, sizeof(szTarget)) == 0)
            szTarget[0] = 0;
        strWhat.Format("it is a symbolic link to %s, which does not exist", szTarget);
        return READ_FAILED;
    }
    case SYSOPEN_FAILED:
        strWhat.Format("it cannot be opened: %s", LastErrorText().GetString());
        return READ_FAILED;
    case SYSOPEN_NOT_PLAIN:
        strWhat = "it is not a plain file";
        return READ_UNUSABLE;
    default:
        break;
    }
    int nResult = READ_DONE;
    strText.SetText("", 0);
    if (nSize > MAX_FILE_SIZE)
    {
        strWhat = "it is far too large for a settings file";
        nResult = READ_UNUSABLE;
    }
    else
        strText.SetAllocSize((int32_t)nSize + 1);
    char ab[16384];
    while (nResult == READ_DONE)
    {
        uint32_t nRead = 0;
        if (!SysReadFile(h, ab, sizeof(ab), &nRead))
        {
            strWhat.Format("it cannot be read: %s", LastErrorText().GetString());
            nResult = READ_FAILED;
        }
        else if (nRead == 0)
            break;
        else
        {
            strText.Append(ab, (int32_t)nRead);
            if (strText.GetLength() > MAX_FILE_SIZE)
            {
                strWhat = "it is far too large for a settings file";
                nResult = READ_UNUSABLE;
            }
        }
    }
    SysCloseFile(h);
    return nResult;
}

// Creates the folder that holds the file, and every missing folder above it, private to the user
// as configuration folders are.
bool CreateParentFolders(const CCArray& strPath, CCArray& strWhat)
{
    const char* psz = strPath.GetString();
    const char* pLast = strrchr(psz, '/');
    if (pLast == nullptr || pLast == psz)
        return true;
    CCArray strFolder;
    for (const char* p = strchr(psz + 1, '/'); p != nullptr && p <= pLast; p = strchr(p + 1, '/'))
    {
        strFolder.SetText(psz, (int32_t)(p - psz));
        if (!SysCreateDirectory(strFolder.GetString()) && SysGetLastError() != ERROR_ALREADY_EXISTS)
        {
            strWhat.Format("the folder %s cannot be created: %s", strFolder.GetString(),
                           LastErrorText().GetString());
            return false;
        }
    }
    if (!SysIsDirectory(strFolder.GetString()))
    {
        strWhat.Format("%s is not a folder", strFolder.GetString());
        return false;
    }
    return true;
}

// Renames the unusable file to the first free <file>.bad-<n>.
bool KeepBadFile(const CCArray& strPath, CCArray& strWhat)
{
    CCArray strBad;
    for (int n = 1; n <= MAX_BAD_COPIES; n++)
    {
        CCArray strNumber;
        strNumber.Format(".bad-%d", n);
        strBad = strPath + strNumber;
        if (SysPathTaken(strBad.GetString()))
            continue;
        if (SysRenameFile(strPath.GetString(), strBad.GetString()))
        {
            fprintf(stderr, "tollgate: the unusable settings file was kept as %s\n", strBad.GetString());
            return true;
        }
        if (SysGetLastError() == ERROR_FILE_NOT_FOUND)
            return true; // gone meanwhile: nothing left to keep
        strWhat.Format("the unusable file cannot be renamed to %s: %s", strBad.GetString(),
                       LastErrorText().GetString());
        return false;
    }
    strWhat = "there is no free name left to keep the unusable file under";
    return false;
}
} // namespace

class CSettingsFile
{
public:
    CSettingsFile() : pKey(nullptr), bDirty(false), bBad(false) {}

    bool Commit();

    CCArray strPath;
    CRegText text;
    SRegKeyText* pKey;
    bool bDirty; // a value was written
    bool bBad;   // a file is there that cannot be used: keep it before writing
};

bool CSettingsFile::Commit()
{
    // A store file that is a link (to a folder of dotfiles, say) stays one: the file it points
    // to is the one replaced.
    CCArray strPath = this->strPath;
    char szTarget[4096];
    if (SysLinkTarget(strPath.GetString(), szTarget, sizeof(szTarget)) > 0)
        strPath = szTarget;

    CCArray strWhat;
    if (!CreateParentFolders(strPath, strWhat) || (bBad && !KeepBadFile(strPath, strWhat)))
    {
        fprintf(stderr, "tollgate: the settings cannot be saved to %s: %s\n", strPath.GetString(),
                strWhat.GetString());
        return false;
    }
    bBad = false;

    CCArray strText;
    text.Write(strText, s_pComments);
    const char* pszStep = "";
    if (!SysReplaceFile(strPath.GetString(), strText.GetString(), (size_t)strText.GetLength(), &pszStep))
    {
        fprintf(stderr,
                "tollgate: the settings cannot be saved to %s (%s %s.new-%u: %s); the file is left as it was\n",
                strPath.GetString(), pszStep, strPath.GetString(), (unsigned)SysProcessId(),
                LastErrorText().GetString());
        return false;
    }
    s_bReported = false;
    return true;
}

void SetSettingsFileComments(const SRegValueComment* pComments)
{
    s_pComments = pComments;
}

void SetSettingsStorePath(const char* pszPath)
{
    s_strStorePath = pszPath;
    s_bReported = false;
}

void GetSettingsStorePath(CCArray& strPath)
{
    if (!s_strStorePath.IsEmpty())
    {
        strPath = s_strStorePath;
        return;
    }
    char szFolder[4096];
    if (SysConfigFolder(szFolder, sizeof(szFolder)) == 0)
    {
        strPath.SetText("", 0);
        return;
    }
    strPath = szFolder;
    strPath += szDefaultLeaf;
}

SETTINGSKEY OpenSettingsKey()
{
    CCArray strPath;
    GetSettingsStorePath(strPath);
    if (strPath.IsEmpty())
    {
        static bool s_bTold = false;
        if (!s_bTold)
            fprintf(stderr,
                    "tollgate: there is no configuration folder (neither XDG_CONFIG_HOME nor HOME is set): "
                    "the default settings apply and nothing is saved\n");
        s_bTold = true;
        return nullptr;
    }
    CSettingsFile* pFile = new CSettingsFile;
    pFile->strPath = strPath;
    CCArray strText;
    CCArray strWhat;
    s_strTrouble.SetText("", 0);
    int nRead = ReadWholeFile(strPath.GetString(), strText, strWhat);
    if (nRead == READ_FAILED)
    {
        // Not the file's fault: this run takes none of its values, and the file stays as it is
        // (a null key refuses every write).
        fprintf(stderr,
                "tollgate: the settings file %s cannot be read now (%s); none of its values are taken "
                "and the file is left as it is\n",
                strPath.GetString(), strWhat.GetString());
        s_strTrouble = strWhat;
        delete pFile;
        return nullptr;
    }
    if (nRead == READ_DONE && !pFile->text.Parse(strText.GetString(), (size_t)strText.GetLength(), strWhat))
        nRead = READ_UNUSABLE;
    if (nRead == READ_UNUSABLE)
    {
        pFile->bBad = true;
        pFile->text.arrKeys.RemoveAll();
        ReportOnce(strPath, strWhat.GetString());
        s_strTrouble = strWhat;
    }
    pFile->pKey = pFile->text.FindKey(szKeyPath, true);
    return pFile;
}

void GetSettingsStoreTrouble(CCArray& strWhy)
{
    strWhy = s_strTrouble;
}

bool CloseSettingsKey(SETTINGSKEY hKey)
{
    if (hKey == nullptr)
        return false;
    bool bOk = !hKey->bDirty || hKey->Commit();
    delete hKey;
    return bOk;
}

bool ReadSettingsValue(SETTINGSKEY hKey, const char* pszName, CByteArray& data)
{
    data.SetSize(0);
    if (hKey == nullptr)
        return false;
    const SRegValue* pValue = hKey->pKey->FindValue(pszName);
    if (pValue == nullptr)
        return false;
    data.CopyData(pValue->data.pData, pValue->data.GetSize());
    return true;
}

bool WriteSettingsValue(SETTINGSKEY hKey, const char* pszName, uint32_t nType, const void* pData,
                        uint32_t nSize)
{
    if (hKey == nullptr)
        return false;
    hKey->pKey->SetValue(pszName, nType, pData, nSize);
    hKey->bDirty = true;
    return true;
}

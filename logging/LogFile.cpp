// LogFile.cpp: the session log writer.
#include "logging/LogFile.h"

#include <cstring>

#include "foundation/TextHelpers.h"

const char CLogFile::szLegend[] =
    "#\r\n# Legend: \"Date\" \"Version\" \"User\" \"Source\" \"Destination\" \"Status\" \"Error\"\r\n#\r\n\r\n";
const char CLogFile::szDateFormat[] = "%d/%b/%Y:%H:%M:%S";

namespace
{
std::atomic<LogFailureReporter> g_pFailureReporter(nullptr);
std::atomic<LogLineMirror> g_pLineMirror(nullptr);
} // namespace

void CLogFile::SetFailureReporter(LogFailureReporter pReporter)
{
    g_pFailureReporter.store(pReporter);
}

void CLogFile::SetLineMirror(LogLineMirror pMirror)
{
    g_pLineMirror.store(pMirror);
}

void MakeLogField(const char* pszText, CCArray& strOut)
{
    if (pszText == nullptr || *pszText == 0)
    {
        strOut = "-";
        return;
    }
    strOut = pszText;
    char* p = strOut.pData;
    for (int i = 0; i < strOut.GetLength(); i++)
    {
        unsigned char ch = (unsigned char)p[i];
        if (ch < 0x20 || ch == 0x7F)
            p[i] = '?';
        else if (ch == '"')
            p[i] = '\''; // a quote inside a field would end it for whatever reads the line by its quotes
    }
}

CLogFile::CLogFile() : pFile(nullptr)
{
}

CLogFile::~CLogFile()
{
    Close();
}

void CLogFile::Open(CCArray& strPath)
{
    if (IsOpen())
        return;

    FILEHANDLE hFile = CreateUniqueFile(strPath, SYSFILE_WRITE, SYSFILE_SHARE_READ);
    if (hFile == FILE_INVALID)
    {
        uint32_t dwError = SysGetLastError();
        LogFailureReporter pReporter = g_pFailureReporter.load();
        if (pReporter != nullptr)
        {
            CCArray strError, strMessage;
            GetSystemErrorText(strError, dwError, true);
            strMessage.Format("Failed to create log file for this session:\n\n%s", strError.GetString());
            pReporter(strMessage.GetString());
        }
        return;
    }

    CDiskFile* pNewFile = new CDiskFile(hFile);
    try
    {
        pNewFile->Write(szLegend, (uint32_t)strlen(szLegend));
    }
    catch (CDiskFileException* pException)
    {
        // The log stays open: later lines may still get through.
        delete pException;
    }
    strFileName = strPath;
    pFile.store(pNewFile, std::memory_order_release);
}

bool CLogFile::WriteToFile(const char* pData, int nLength)
{
    CDiskFile* pDisk = pFile.load(std::memory_order_relaxed);
    if (pDisk == nullptr)
        return false;
    try
    {
        pDisk->Write(pData, (uint32_t)nLength);
    }
    catch (CDiskFileException* pException)
    {
        // A failed line is lost from the file; the file stays open for the next one.
        delete pException;
    }
    return true;
}

void CLogFile::WriteText(const char* pszText, int nLength)
{
    if (!IsOpen() || nLength <= 0)
        return;
    CScopedLock lock(csLock);
    WriteToFile(pszText, nLength);
}

void CLogFile::LogEvent(const char* pszVersion, const char* pszUser, const char* pszSource,
                        const char* pszDestination, const char* pszStatus, const char* pszError)
{
    CCArray strTime, strDate, strVersion, strUser, strSource, strDestination, strStatus, strError;
    FormatTime(strTime, SysTimeNow(), szDateFormat);
    MakeLogField(strTime.GetString(), strDate);
    MakeLogField(pszVersion, strVersion);
    MakeLogField(pszUser, strUser);
    MakeLogField(pszSource, strSource);
    MakeLogField(pszDestination, strDestination);
    MakeLogField(pszStatus, strStatus);
    MakeLogField(pszError, strError);

    // The line ending is appended after formatting, so that a line cut at the formatting limit
    // still ends where it should and the next line starts on a line of its own.
    CCArray strLine;
    strLine.Format("\"%s\" \"%s\" \"%s\" \"%s\" \"%s\" \"%s\" \"%s\"", strDate.GetString(),
                   strVersion.GetString(), strUser.GetString(), strSource.GetString(),
                   strDestination.GetString(), strStatus.GetString(), strError.GetString());
    strLine.Append("\r\n", 2);
    WriteLine(strLine);
}

void CLogFile::WriteLine(const CCArray& strLine)
{
    if (!IsOpen())
        return;
    CScopedLock lock(csLock);
    if (!WriteToFile(strLine.GetString(), strLine.GetLength()))
        return;
    LogLineMirror pMirror = g_pLineMirror.load();
    if (pMirror != nullptr)
        pMirror(strLine.GetString(), strLine.GetLength() - 2);
}

void CLogFile::Close()
{
    CDiskFile* pOld;
    {
        CScopedLock lock(csLock);
        pOld = pFile.exchange(nullptr, std::memory_order_acq_rel);
    }
    if (pOld == nullptr)
        return;
    delete pOld;
    strFileName.SetSize(0);
}

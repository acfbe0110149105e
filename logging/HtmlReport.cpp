// HtmlReport.cpp: the session-table snapshot page.
#include "logging/HtmlReport.h"

#include <cinttypes>
#include <cstring>

#include "config/Paths.h"
#include "engine/SessionTable.h"
#include "foundation/DiskFile.h"
#include "foundation/TextHelpers.h"

const char g_szReportHead[] =
    "<HTML>\r\n<BODY>\r\n<TABLE WIDTH=\"780\" "
    "BORDER=\"1\">\r\n<TR><TD><b>Time</b></TD><TD><b>Version</b></TD>"
    "<TD><b>User</b></TD><TD><b>Source</b></TD><TD><b>Destination</b></TD><TD><b>Status</b></TD></TR>\r\n";
const char g_szReportTail[] = "</TABLE>\r\n</BODY>\r\n</HTML>";

namespace
{
const char szEmptyCell[] = "&nbsp;";

// The markup written around the cells of a row: before the first, between two, after the last.
const char* const arrRowPieces[7] = {"<TR><TD>",  "</TD><TD>", "</TD><TD>",     "</TD><TD>",
                                     "</TD><TD>", "</TD><TD>", "</TD></TR>\r\n"};
} // namespace

CCArray FormatDuration(int64_t nSeconds)
{
    CCArray str;
    str.Format("%02" PRId64 ":%02" PRId64 ":%02" PRId64, nSeconds / 3600, (nSeconds % 3600) / 60,
               nSeconds % 60);
    return str;
}

void AppendHtmlText(CCArray& strOut, const char* pszText)
{
    const char* pRun = pszText;
    for (const char* p = pszText;; p++)
    {
        const char* pszEntity = nullptr;
        switch (*p)
        {
        case '&':
            pszEntity = "&amp;";
            break;
        case '<':
            pszEntity = "&lt;";
            break;
        case '>':
            pszEntity = "&gt;";
            break;
        case '"':
            pszEntity = "&quot;";
            break;
        case 0:
            strOut.Append(pRun, (int32_t)(p - pRun));
            return;
        default:
            continue;
        }
        strOut.Append(pRun, (int32_t)(p - pRun));
        strOut.Append(pszEntity);
        pRun = p + 1;
    }
}

void GetReportCells(const SCSTask& task, int64_t tNow, CCArray (&arrCells)[6])
{
    CCArray strText;
    for (CCArray& strCell : arrCells)
        strCell.SetText("");

    // A clock set back while the session runs would make the age negative; it shows as zero.
    int64_t nAge = tNow - task.tStart;
    AppendHtmlText(arrCells[0], FormatDuration(nAge < 0 ? 0 : nAge).GetString());

    if (task.nVersion == 0)
        arrCells[1] = szEmptyCell;
    else
        arrCells[1].Format("%d", (int)task.nVersion);

    // The session thread writes the user id once, without the lock: never read past the buffer.
    size_t nUser = strnlen(task.szUser, sizeof(task.szUser));
    if (nUser == 0)
        arrCells[2] = szEmptyCell;
    else
    {
        strText.SetText(task.szUser, (int32_t)nUser);
        AppendHtmlText(arrCells[2], strText.GetString());
    }

    // Only a destination is ever a UDP association's mark.
    EndpointText(task.saClient, arrCells[3], szEmptyCell, false);
    EndpointText(task.saDest, arrCells[4], szEmptyCell, true);

    AppendHtmlText(arrCells[5], SessionStateText(task.nState));
}

void WriteHtmlReport(IReportHost& host)
{
    CCArray strPath, strMessage, strError;
    strPath.Format("%sausrep.html", g_paths.strTempFolder.GetString());
    EReportWrite eResult = WriteHtmlReportFile(strPath, strError);
    // The message box and the viewer wait for the user or another process: never under the lock.
    if (eResult == REPORT_WRITTEN)
        host.OpenReport(strPath.GetString());
    else
    {
        strMessage.Format(eResult == REPORT_CREATE_FAILED ? "Failed to create a temporary file:\n\n%s"
                                                          : "Error writing to a file:\n\n%s",
                          strError.GetString());
        host.ShowReportFailure(strMessage.GetString());
    }
}

EReportWrite WriteHtmlReportFile(CCArray& strPath, CCArray& strError)
{
    FILEHANDLE hFile = CreateUniqueFile(strPath, SYSFILE_WRITE, 0);
    if (hFile == FILE_INVALID)
    {
        GetSystemErrorText(strError, SysGetLastError(), true);
        return REPORT_CREATE_FAILED;
    }

    bool bWritten = false;
    {
        CScopedLock lock(g_csSessionTable);
        CDiskFile* pFile = new CDiskFile(hFile);
        try
        {
            pFile->Write(g_szReportHead, (uint32_t)strlen(g_szReportHead));
            int64_t tNow = SysTimeNow();
            CCArray arrCells[6];
            for (int32_t i = 0; i < g_sessionTable.GetSize(); i++)
            {
                GetReportCells(*g_sessionTable[i], tNow, arrCells);
                for (int nPiece = 0; nPiece < 6; nPiece++)
                {
                    pFile->Write(arrRowPieces[nPiece], (uint32_t)strlen(arrRowPieces[nPiece]));
                    pFile->Write(arrCells[nPiece].GetString(), (uint32_t)arrCells[nPiece].GetLength());
                }
                pFile->Write(arrRowPieces[6], (uint32_t)strlen(arrRowPieces[6]));
            }
            pFile->Write(g_szReportTail, (uint32_t)strlen(g_szReportTail));
            bWritten = true;
        }
        catch (CDiskFileException* pException)
        {
            GetSystemErrorText(strError, pException->dwError, true);
            delete pException;
        }
        delete pFile;
    }
    return bWritten ? REPORT_WRITTEN : REPORT_WRITE_FAILED;
}

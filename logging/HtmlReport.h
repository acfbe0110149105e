// HtmlReport.h: the snapshot of the session table as an HTML page.
//
// The page lists every session of the table at the moment of the export, one table row each, and
// is written to the program's temporary folder as ausrep.html (ausrep[1].html, ... when taken),
// which the next program start empties. Every text cell is escaped: the User cell holds whatever
// a SOCKS4 client sent as its user id, so without escaping any client could put markup and script
// into a page the user opens in a browser.
//
// The writer itself is portable; what it shows and opens goes through IReportHost, which the
// Statistics window implements with message boxes and the registered ".html" viewer.
#pragma once

#include <cstdint>

#include "foundation/CharArray.h"

struct SCSTask;

// What the page's writer needs from the window that asked for it.
class IReportHost
{
public:
    // A failure message, for example "Error writing to a file:\n\n<system text>".
    virtual void ShowReportFailure(const char* pszMessage) = 0;
    // The finished page, to be opened in the viewer for ".html".
    virtual void OpenReport(const char* pszPath) = 0;

protected:
    ~IReportHost() {}
};

// Writes the snapshot into g_paths.strTempFolder and opens it through the host; on failure shows
// the message instead and opens nothing. Holds the session-table lock while it writes the rows.
void WriteHtmlReport(IReportHost& host);
// How WriteHtmlReportFile ended.
enum EReportWrite
{
    REPORT_WRITTEN,
    REPORT_CREATE_FAILED, // the file could not be created
    REPORT_WRITE_FAILED,  // it was created but a write failed
};
// The same page written to strPath, renumbered as the log files are when the name is taken
// (Snapshot.html, Snapshot[1].html, ...); strPath then holds the name actually used. On failure
// strError holds the system's text. WriteHtmlReport's writer, and the headless proxy's state dump.
EReportWrite WriteHtmlReportFile(CCArray& strPath, CCArray& strError);

// Seconds as "hh:mm:ss"; the hours have at least two digits and no upper limit (100:02:03).
CCArray FormatDuration(int64_t nSeconds);

// Appends the text with &, <, > and " written as character references.
void AppendHtmlText(CCArray& strOut, const char* pszText);

// The six cells of one session's row, as they go into the page (escaped, "&nbsp;" for an empty
// cell), for a snapshot taken at tNow.
void GetReportCells(const SCSTask& task, int64_t tNow, CCArray (&arrCells)[6]);

// The fixed text before the first row and after the last.
extern const char g_szReportHead[];
extern const char g_szReportTail[];

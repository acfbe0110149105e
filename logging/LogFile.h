// LogFile.h: CLogFile, the per-run session log.
//
// One file per server run (ServerLog.txt, then ServerLog[1].txt, ...) in the log folder, 8-bit
// text with CR LF line ends, starting with a legend and then one line per event:
//
//   "Date" "Version" "User" "Source" "Destination" "Status" "Error"
//
// Each field stands in double quotes; an empty field is written as "-". A field is written as it
// is, double quotes included, with one exception: every control character (bytes 0x01 to 0x1F
// and 0x7F) becomes '?'. A client chooses its own SOCKS user id and user name, and a CR LF in
// them would otherwise let it write whole lines of its own into the log. For the same reason a
// line cut at the formatting limit still ends with its own CR LF.
//
// Lines come from the listener, every session thread and the shell's thread; csLock makes each
// line one uninterrupted write. Open and Close run on the shell's thread while no other thread
// logs, before the listener starts and after every session has ended.
#pragma once

#include <atomic>

#include "foundation/CharArray.h"
#include "foundation/DiskFile.h"
#include "platform/Platform.h"

// Receives the full warning text when a log file cannot be created. The Windows shell shows it
// in a message box, the headless program on its standard error.
typedef void (*LogFailureReporter)(const char* pszMessage);
// Receives every event line of an open log (nLength characters, without the CR LF) as it is
// written, under the log's lock, so that the lines arrive in the order of the file. The headless
// program copies them to its standard error, into the system journal.
typedef void (*LogLineMirror)(const char* pszLine, int nLength);

class CLogFile
{
public:
    CLogFile();
    virtual ~CLogFile();

    // Creates a new log file at strPath, renumbered if the name is taken, and writes the legend;
    // strPath then holds the name actually created. Does nothing while a log is open. When the
    // file cannot be created, reports the failure and leaves the log closed.
    void Open(CCArray& strPath);
    bool IsOpen() const { return pFile.load(std::memory_order_acquire) != nullptr; }
    // Writes the text as it is (its characters, not its terminator) in one write under the
    // lock. Nothing when no log is open; a failed write drops the text silently.
    void WriteText(const char* pszText, int nLength);
    void WriteText(const CCArray& strText) { WriteText(strText.GetString(), strText.GetLength()); }
    // One event line stamped with the current local time. Null or empty fields are written "-".
    void LogEvent(const char* pszVersion, const char* pszUser, const char* pszSource,
                  const char* pszDestination, const char* pszStatus, const char* pszError);
    void Close();
    // Full path of the open log file; empty while closed.
    const CCArray& GetFileName() const { return strFileName; }

    // The reporter for every log's creation failure; null reports nothing.
    static void SetFailureReporter(LogFailureReporter pReporter);
    // The mirror of every log's event lines; null (the default) mirrors nothing.
    static void SetLineMirror(LogLineMirror pMirror);

    // The legend every log file starts with.
    static const char szLegend[];
    // strftime format of the Date field, for example 07/Dec/2026:05:02:08.
    static const char szDateFormat[];

private:
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // WriteText for an event line ending in CR LF, which also goes to the mirror.
    void WriteLine(const CCArray& strLine);
    // Writes to the open file, under csLock; false when the file has been closed meanwhile.
    bool WriteToFile(const char* pData, int nLength);

    CCriticalSection csLock;
    std::atomic<CDiskFile*> pFile;
    CCArray strFileName;
};

// The field as it goes into a line: "-" for a null or empty text, control characters as '?', a
// double quote as a single quote (so that no text can end its field early).
void MakeLogField(const char* pszText, CCArray& strOut);

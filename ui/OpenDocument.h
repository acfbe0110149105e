// OpenDocument.h: opening documents in their registered viewers, and choosing a folder.
//
// The program shows its text and HTML files (the session log, the snapshot page, a crash report)
// in the program the user registered for the type. It reads the registered open command itself,
// fills in the document path (in 8.3 form for viewers that can't take long names) and starts the
// viewer as a process of its own, without waiting for it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "foundation/CharArray.h"

// Signatures GetExeType reports in its low word, the two letters as they stand in the file.
enum
{
    EXETYPE_MZ = 0x5A4D, // "MZ": DOS program
    EXETYPE_NE = 0x454E, // "NE": 16-bit Windows; the high word holds the expected Windows version
    EXETYPE_PE = 0x4550, // "PE": 32-bit program (and batch files on the NT family)
};

// Starts the viewer registered for pszType (".txt", ".html") on the document. True when the
// viewer's process was created; nothing is shown on failure.
bool OpenDocument(const char* pszDocument, const char* pszType);

// The open command template of a document type: HKCR\<type> names the class, whose
// Shell\opennew\Command or else Shell\Open\Command holds it. Empty when anything is missing.
void FindOpenCommand(const char* pszType, CCArray& strTemplate);
// Fills the template in for the document and starts the command line.
bool RunOpenCommand(const char* pszDocument, const char* pszTemplate);
// False when the program needs 8.3 names: not a 32-bit program (nor a 16-bit one for Windows 4.0
// or later), or marked "UseShortName" under its App Paths key.
bool AcceptsLongFileNames(const char* pszProgram);
// MAKELONG(signature, expected Windows version) of a program file; 0 when unknown.
uint32_t GetExeType(const char* pszProgram);

// The shell's allocator, which frees the folder chooser's results; the shell asks for it once at
// start-up. False when the system gives none.
bool InitShellAllocator();
// Lets the user pick a file-system folder (pszInitial selected first, when given). False when the
// user cancels or the choice is no file-system folder; strFolder is then unchanged.
bool BrowseForFolder(HWND hOwner, const char* pszTitle, const char* pszInitial, CCArray& strFolder);

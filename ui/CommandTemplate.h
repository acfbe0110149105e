// CommandTemplate.h: the registered open command of a document type, filled in for one document.
//
// A viewer registers a command template such as "C:\Viewer\view.exe" /open "%1" under its file
// class. These are the pure text steps of starting it: finding the program the template names and
// replacing the template's placeholders. They touch no system function, so they build and are
// tested on every platform; the registry and process side lives in ui/OpenDocument.
#pragma once

#include <cstddef>

#include "foundation/CharArray.h"

enum
{
    EXPAND_OK = 0,
    EXPAND_FAILED = 5, // the output does not fit, or the template asks for what cannot be given
};

// Copies pszTemplate into pszOut (nOutSize bytes, terminator included), replacing each "%" and the
// character after it:
//   %1 %0   the document: pszShortDocument instead when something other than double quotes was
//           written before, bLongNames is false and a short form exists (pszShortDocument not null)
//   %L %l   the document as given
//   %S %s   nShowCmd in decimal;  %H %h  the hot key, 0, in hexadecimal;  %I %i  ":0"
//   %* %2..%9 %~2..%~9  the extra arguments: there are none, nothing is written
//   %D %d   refused: EXPAND_FAILED
//   %~ followed by anything else: the "%" is copied and the copy goes on with the "~"
//   %x      any other character x stands for itself ("%%" gives "%")
// A "%" at the very end ends the copy. *pbInserted tells whether %1, %0, %L or %l placed the
// document. Returns EXPAND_OK, or EXPAND_FAILED with pszOut unusable.
int ExpandCommandTemplate(const char* pszTemplate, char* pszOut, size_t nOutSize, const char* pszDocument,
                          const char* pszShortDocument, long nShowCmd, bool bLongNames, bool* pbInserted);

// The program a template starts: after leading spaces, a quoted path (unless the quote is followed
// by "%"), or the text up to the next space. False when the template starts with "%", is empty, or
// opens a quote that it never closes.
bool GetProgramFromCommand(const char* pszTemplate, CCArray& strProgram);

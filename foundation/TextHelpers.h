// TextHelpers.h: free text, number, file-name and file-creation helpers of the foundation library.
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/CharArray.h"
#include "platform/Platform.h"

// Removes leading and trailing tab, LF, CR and space in place; returns the new length.
int32_t TrimWhitespace(char* psz);

// The part of a path after its last PATH_SEPARATOR (the whole path when it has none).
const char* GetFileNamePart(const char* pszPath);
// The part of a name after its last dot, searched from the end down to the second character
// (a leading dot does not count); the empty tail of the text when there is no dot.
const char* GetExtensionPart(const char* pszName);

// The whole text as a number in the given base; nDefault when the text is null or empty, has
// anything after the number, or does not fit. ParseUnsigned also refuses a minus sign.
int32_t ParseInt(const char* psz, int nBase, int32_t nDefault);
uint32_t ParseUnsigned(const char* psz, int nBase, uint32_t nDefault);

// Appends one PATH_SEPARATOR unless the path is empty or already ends in one.
void AddTrailingBackslash(CCArray& strPath);

// Local time of tTime (seconds since 1970) formatted with strftime (at most 127 characters).
// On failure the result is the empty string and the return value false.
bool FormatTime(CCArray& strOut, int64_t tTime, const char* pszFormat);

// The system's English (0x0409) message text for a Win32 error number, inserts not expanded.
// Unless bRaw, the text is trimmed, CRs removed and LFs turned into spaces, so that it fits on
// one line. A number without a message gives the empty string and false.
bool GetSystemErrorText(CCArray& strOut, uint32_t dwError, bool bRaw = false);

// Creates a new file at strPath (never opening or overwriting an existing one). When the name is
// taken (a file, or a folder of the same name) the name is renumbered - Log.txt, Log[1].txt,
// Log[2].txt ... - until a free one is found; strPath then holds the name actually created.
// nAccess and nShare are SYSFILE_ values. Any other failure returns FILE_INVALID with the
// system's error in SysGetLastError.
FILEHANDLE CreateUniqueFile(CCArray& strPath, unsigned nAccess, unsigned nShare);

// Index of the first element from nStart on that equals psz (exactly, or ignoring the case of
// ASCII letters); -1 when nStart is negative or nothing matches.
int32_t FindString(const CArrayObj<CCArray, CCArray&>& arr, const char* psz, bool bIgnoreCase,
                   int32_t nStart = 0);

// A new[] copy of the first nLength characters of psz (nLength -1: all of it), terminated. The
// caller delete[]s it.
char* DuplicateText(const char* psz, int32_t nLength = -1);

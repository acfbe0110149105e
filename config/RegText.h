// RegText.h: registry keys and values in the REGEDIT4 text form that regedit imports and exports.
//
// The POSIX settings store keeps the registry's model - a key path, named values, each with its
// type and raw bytes - in one such text file, so that the same file can be moved to and from a
// Windows registry with regedit. The form read here is the one regedit writes:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Kestrel Co\Tollgate]
//   "Auto Start"=hex:01,00,00,00
//   "Log Folder"="C:\\Program Files\\Tollgate\\Log"
//
// Strings escape \ and " with a backslash; "hex:" is REG_BINARY, "hex(n):" a value of type n,
// "dword:" a REG_DWORD; hex lists may go on over lines that end in a backslash. Lines starting with
// ';' are comments. Anything else (key or value deletions, unknown escapes, unknown types) makes
// the whole text malformed: the store would rather say so than guess.
//
// Files written by Write start with a signature comment and end with an end comment. A text that
// carries the signature but not the end comment was cut short; a text without the signature (made
// by hand or by regedit) needs no end comment.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Array.h"
#include "foundation/CharArray.h"

// Raw bytes of a value.
typedef CArraySimpleObj<unsigned char, unsigned char> CByteArray;

// The registry's value types that the text form names (other numbers pass through as hex(n)).
enum
{
    REGTEXT_SZ = 1,
    REGTEXT_BINARY = 3,
    REGTEXT_DWORD = 4,
};

struct SRegValue
{
    SRegValue() : nType(0) {}

    CCArray strName; // empty for the key's default value, written @
    uint32_t nType;
    CByteArray data;
};

struct SRegKeyText
{
    CCArray strPath; // the full path as written between the brackets
    CArrayPtr<SRegValue> arrValues;

    // The value of that name, compared without regard to ASCII letter case as the registry does;
    // null when there is none.
    SRegValue* FindValue(const char* pszName) const;
    // Creates or replaces the value. A replaced value keeps the spelling of its name.
    void SetValue(const char* pszName, uint32_t nType, const void* pData, uint32_t nSize);
};

// Comment lines written above every value of a name (compared exactly), in any key. pszComment
// holds whole lines, each ending with "\r\n". A table ends with an entry whose name is null.
struct SRegValueComment
{
    const char* pszName;
    const char* pszComment;
};

class CRegText
{
public:
    CArrayPtr<SRegKeyText> arrKeys;

    // The key of that path (case-insensitive); created empty at the end when bCreate is set.
    SRegKeyText* FindKey(const char* pszPath, bool bCreate);

    // Replaces the contents with the keys of a whole file. False when the text is not well-formed
    // REGEDIT4; strError then says where and what (for example "line 7: a string has no closing
    // quote") and no key is kept.
    bool Parse(const char* pText, size_t nLength, CCArray& strError);

    // The whole file: header, signature, every key with its values, end comment. Lines end in
    // CR LF. With pComments, a value whose name is in the table has its comment lines above it.
    void Write(CCArray& strOut, const SRegValueComment* pComments = nullptr) const;
};

// The comment lines that mark a file written by CRegText::Write.
extern const char g_szRegTextSignature[];
extern const char g_szRegTextEnd[];

// RegText.cpp: reading and writing the REGEDIT4 text form of registry keys.
#include "config/RegText.h"

#include <cstdio>
#include <cstring>

const char g_szRegTextSignature[] = "; Tollgate settings";
const char g_szRegTextEnd[] = "; end of Tollgate settings";

namespace
{
const char szHeader4[] = "REGEDIT4";
const char szHeader5[] = "Windows Registry Editor Version 5.00";

// Wide enough for regedit's own wrapping of hex lists: a continuation follows once a line has
// passed this many characters.
const int HEX_LINE_WIDTH = 76;

bool EqualsNoCase(const char* a, const char* b)
{
    for (;; a++, b++)
    {
        char ca = (*a >= 'A' && *a <= 'Z') ? (char)(*a + 32) : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? (char)(*b + 32) : *b;
        if (ca != cb)
            return false;
        if (ca == 0)
            return true;
    }
}

int HexDigit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

// One physical line of the text at a time; the line end (LF or CR LF) is not part of the line.
class CLineReader
{
public:
    CLineReader(const char* pText, size_t nLength) : pText(pText), nLength(nLength), nPos(0), nLine(0) {}

    int LineNumber() const { return nLine; }

    // False at the end of the text, or when the last line has no line end (bCutShort set).
    bool Next(CCArray& strLine, bool& bCutShort)
    {
        bCutShort = false;
        if (nPos >= nLength)
            return false;
        nLine++;
        const char* pStart = pText + nPos;
        const char* pEnd = (const char*)memchr(pStart, '\n', nLength - nPos);
        if (pEnd == nullptr)
        {
            bCutShort = true;
            return false;
        }
        size_t n = (size_t)(pEnd - pStart);
        nPos += n + 1;
        if (n > 0 && pStart[n - 1] == '\r')
            n--;
        strLine.SetText(pStart, (int32_t)n);
        return true;
    }

private:
    const char* pText;
    size_t nLength;
    size_t nPos;
    int nLine;
};

// A cursor over one logical line while it is parsed.
struct SCursor
{
    const char* p;

    void SkipBlanks()
    {
        while (IsBlank(*p))
            p++;
    }
    bool Take(const char* pszWord)
    {
        size_t n = strlen(pszWord);
        if (strncmp(p, pszWord, n) != 0)
            return false;
        p += n;
        return true;
    }
};

// Makes room for nMore more characters (and the terminator) at once, at least doubling the
// room it grows: a text built piece by piece then costs time in proportion to its length. (A
// CCArray grows by 1000 characters otherwise, which makes a long text cost its square.)
void ReserveMore(CCArray& str, size_t nMore)
{
    size_t nNeeded = (size_t)str.GetLength() + nMore + 1;
    if (nNeeded <= (size_t)str.nAlloc)
        return;
    size_t nDoubled = 2 * (size_t)str.nAlloc;
    size_t nRoom = nNeeded > nDoubled ? nNeeded : nDoubled;
    str.SetAllocSize(nRoom > (size_t)INT32_MAX ? INT32_MAX : (int32_t)nRoom);
}

// Reads a quoted text at the cursor (which stands on the opening quote) into strOut.
bool ParseQuoted(SCursor& cur, CCArray& strOut, CCArray& strWhat)
{
    cur.p++;
    strOut.SetText("", 0);
    // The text is never longer than the rest of the line: room for all of it at once.
    ReserveMore(strOut, strlen(cur.p));
    for (;;)
    {
        char ch = *cur.p;
        if (ch == 0)
        {
            strWhat = "a string has no closing quote";
            return false;
        }
        cur.p++;
        if (ch == '"')
            return true;
        if (ch == '\\')
        {
            char chNext = *cur.p;
            if (chNext != '\\' && chNext != '"')
            {
                strWhat = "a string holds a backslash that is not written \\\\ or \\\"";
                return false;
            }
            cur.p++;
            ch = chNext;
        }
        strOut.AppendChar(ch);
    }
}

bool ParseHexList(const char* p, CByteArray& data, CCArray& strWhat)
{
    data.SetSize(0);
    // Every byte takes at least one digit and every byte but the last a comma: the list holds at
    // most (length + 1) / 2 bytes. Room for them all at once keeps the parse linear (the array
    // would grow by 8 bytes at a time otherwise, copying the whole list each time).
    size_t nMost = (strlen(p) + 1) / 2;
    if (nMost > 0)
        data.SetAllocSize(nMost > (size_t)INT32_MAX ? INT32_MAX : (int32_t)nMost);
    SCursor cur = {p};
    cur.SkipBlanks();
    while (*cur.p != 0)
    {
        int nHigh = HexDigit(*cur.p);
        if (nHigh < 0)
        {
            strWhat = "a hex list holds something other than hex bytes";
            return false;
        }
        cur.p++;
        int nValue = nHigh;
        int nLow = HexDigit(*cur.p);
        if (nLow >= 0)
        {
            nValue = nHigh * 16 + nLow;
            cur.p++;
        }
        data.Add((unsigned char)nValue);
        cur.SkipBlanks();
        if (*cur.p == ',')
        {
            cur.p++;
            cur.SkipBlanks();
        }
        else if (*cur.p != 0)
        {
            strWhat = "hex bytes must be separated by commas";
            return false;
        }
    }
    return true;
}

// Hex number of 1 to 8 digits, the whole text.
bool ParseHexNumber(const char* p, size_t n, uint32_t& nValue)
{
    if (n == 0 || n > 8)
        return false;
    nValue = 0;
    for (size_t i = 0; i < n; i++)
    {
        int d = HexDigit(p[i]);
        if (d < 0)
            return false;
        nValue = nValue * 16 + (uint32_t)d;
    }
    return true;
}

void TrimRight(CCArray& str)
{
    int32_t n = str.GetLength();
    const char* p = str.GetString();
    while (n > 0 && IsBlank(p[n - 1]))
        n--;
    str.Truncate(n);
}

void AppendHexByte(CCArray& strOut, unsigned char b)
{
    static const char szDigits[] = "0123456789abcdef";
    char sz[2] = {szDigits[b >> 4], szDigits[b & 15]};
    strOut.Append(sz, 2);
}

void AppendEscaped(CCArray& strOut, const char* p, int32_t n)
{
    for (int32_t i = 0; i < n; i++)
    {
        if (p[i] == '\\' || p[i] == '"')
            strOut.AppendChar('\\');
        strOut.AppendChar(p[i]);
    }
}

// A REG_SZ whose bytes are a text, one terminator and nothing after it, with no line break in
// the text, can be written as a quoted string; any other REG_SZ is written as hex(1) so that
// its bytes come back exactly.
bool IsPlainString(const SRegValue& value)
{
    int32_t n = value.data.GetSize();
    if (value.nType != REGTEXT_SZ || n == 0 || value.data.pData[n - 1] != 0)
        return false;
    for (int32_t i = 0; i < n - 1; i++)
    {
        unsigned char b = value.data.pData[i];
        if (b == 0 || b == '\r' || b == '\n')
            return false;
    }
    return true;
}
} // namespace

SRegValue* SRegKeyText::FindValue(const char* pszName) const
{
    for (int32_t i = 0; i < arrValues.GetSize(); i++)
    {
        if (EqualsNoCase(arrValues.pData[i]->strName.GetString(), pszName))
            return arrValues.pData[i];
    }
    return nullptr;
}

void SRegKeyText::SetValue(const char* pszName, uint32_t nType, const void* pData, uint32_t nSize)
{
    SRegValue* pValue = FindValue(pszName);
    if (pValue == nullptr)
    {
        pValue = new SRegValue;
        pValue->strName.SetText(pszName);
        arrValues.Add(pValue);
    }
    pValue->nType = nType;
    pValue->data.CopyData((const unsigned char*)pData, (int32_t)nSize);
}

SRegKeyText* CRegText::FindKey(const char* pszPath, bool bCreate)
{
    for (int32_t i = 0; i < arrKeys.GetSize(); i++)
    {
        if (EqualsNoCase(arrKeys.pData[i]->strPath.GetString(), pszPath))
            return arrKeys.pData[i];
    }
    if (!bCreate)
        return nullptr;
    SRegKeyText* pKey = new SRegKeyText;
    pKey->strPath.SetText(pszPath);
    arrKeys.Add(pKey);
    return pKey;
}

namespace
{
// Why a whole text cannot be a settings file before any line is read; empty when it may be one.
void CheckWholeText(const char* pText, size_t nLength, CCArray& strWhat)
{
    const char* pZero = (const char*)memchr(pText, 0, nLength);
    if (nLength == 0)
        strWhat = "the file is empty";
    else if (pZero != nullptr)
        strWhat.Format("the file holds a zero byte at offset %u", (unsigned)(pZero - pText));
}

// A comment line: the signature counts on line 2 only, the end comment anywhere.
void NoteComment(const char* p, int nLine, bool& bSigned, bool& bEnded)
{
    if (strcmp(p, g_szRegTextSignature) == 0 && nLine == 2)
        bSigned = true;
    else if (strcmp(p, g_szRegTextEnd) == 0)
        bEnded = true;
}

// A [key] line, p at its '[': the key it names (created when new); null with strWhat set when the
// line is not a key line that a settings file may hold.
SRegKeyText* ParseKeyLine(CRegText& text, const char* p, const CCArray& strLine, CCArray& strWhat)
{
    const char* pEnd = strLine.GetString() + strLine.GetLength() - 1;
    if (*pEnd != ']')
        strWhat = "a key line does not end with ']'";
    else if (p[1] == '-')
        strWhat = "key deletions ([-...]) have no place in a settings file";
    else if (pEnd == p + 1)
        strWhat = "a key line names no key";
    else
    {
        CCArray strPath;
        strPath.SetText(p + 1, (int32_t)(pEnd - p - 1));
        return text.FindKey(strPath.GetString(), true);
    }
    return nullptr;
}

// A quoted string after the '=', cur at its opening quote.
void ParseStringValue(SCursor& cur, const CCArray& strName, SRegKeyText* pKey, CCArray& strWhat)
{
    CCArray strText;
    if (!ParseQuoted(cur, strText, strWhat))
        return;
    cur.SkipBlanks();
    if (*cur.p != 0)
    {
        strWhat = "text follows the closing quote of a string";
        return;
    }
    // The registry stores a string with its terminator.
    pKey->SetValue(strName.GetString(), REGTEXT_SZ, strText.GetString(), (uint32_t)strText.GetLength() + 1);
}

// The digits of a dword: value, cur behind "dword:".
void ParseDwordValue(const SCursor& cur, const CCArray& strName, SRegKeyText* pKey, CCArray& strWhat)
{
    uint32_t nValue;
    if (!ParseHexNumber(cur.p, strlen(cur.p), nValue))
    {
        strWhat = "a dword value is not 1 to 8 hex digits";
        return;
    }
    unsigned char ab[4] = {(unsigned char)nValue, (unsigned char)(nValue >> 8), (unsigned char)(nValue >> 16),
                           (unsigned char)(nValue >> 24)};
    pKey->SetValue(strName.GetString(), REGTEXT_DWORD, ab, 4);
}

// "hex:" or "hex(type):" and its list, which goes on over the next lines while a line ends in a
// backslash. False when the text ends inside the list: strWhat then says so, unless the last line
// was only cut short (bCutShort set, for the caller's verdict).
bool ParseHexValue(SCursor& cur, const CCArray& strName, SRegKeyText* pKey, CLineReader& reader, CCArray& strLine,
                   bool& bCutShort, CCArray& strWhat)
{
    uint32_t nType = REGTEXT_BINARY;
    if (cur.Take("hex("))
    {
        const char* pClose = strchr(cur.p, ')');
        if (pClose == nullptr || pClose[1] != ':' || !ParseHexNumber(cur.p, (size_t)(pClose - cur.p), nType))
        {
            strWhat = "a hex(type) value has no valid type";
            return true;
        }
        cur.p = pClose + 2;
    }
    else if (!cur.Take("hex:"))
    {
        strWhat = *cur.p == '-' ? "value deletions (=-) have no place in a settings file"
                                : "a value is neither a string, hex: nor dword:";
        return true;
    }

    CCArray strList(cur.p);
    while (strList.GetLength() > 0 && strList.GetString()[strList.GetLength() - 1] == '\\')
    {
        strList.Truncate(strList.GetLength() - 1);
        if (!reader.Next(strLine, bCutShort))
        {
            if (!bCutShort)
                strWhat = "a hex list ends in a backslash and no line follows: the file is cut short";
            return false;
        }
        TrimRight(strLine);
        ReserveMore(strList, (size_t)strLine.GetLength());
        strList.Append(strLine);
    }
    SRegValue value;
    if (ParseHexList(strList.GetString(), value.data, strWhat))
        pKey->SetValue(strName.GetString(), nType, value.data.pData, (uint32_t)value.data.GetSize());
    return true;
}

// A "name"=value or @=value line of the key pKey, cur at its first character. False when the
// text ends inside the value (ParseHexValue).
bool ParseValueLine(SCursor cur, SRegKeyText* pKey, CLineReader& reader, CCArray& strLine, bool& bCutShort,
                    CCArray& strWhat)
{
    CCArray strName;
    if (*cur.p == '@')
        cur.p++; // the key's default value, with the empty name
    else if (!ParseQuoted(cur, strName, strWhat))
        return true;
    cur.SkipBlanks();
    if (!cur.Take("="))
    {
        strWhat = "a value name is not followed by '='";
        return true;
    }
    cur.SkipBlanks();
    if (*cur.p == '"')
        ParseStringValue(cur, strName, pKey, strWhat);
    else if (cur.Take("dword:"))
        ParseDwordValue(cur, strName, pKey, strWhat);
    else
        return ParseHexValue(cur, strName, pKey, reader, strLine, bCutShort, strWhat);
    return true;
}
} // namespace

bool CRegText::Parse(const char* pText, size_t nLength, CCArray& strError)
{
    arrKeys.RemoveAll();
    strError.SetText("", 0);

    CCArray strWhat;
    CLineReader reader(pText, nLength);
    if (nLength >= 3 && memcmp(pText, "\xEF\xBB\xBF", 3) == 0)
        reader = CLineReader(pText + 3, nLength - 3);
    SRegKeyText* pKey = nullptr;
    bool bSigned = false;
    bool bEnded = false;
    bool bCutShort = false;
    CCArray strLine;
    CheckWholeText(pText, nLength, strWhat);

    // Each line in turn until one is wrong (strWhat set) or the text ends.
    while (strWhat.IsEmpty() && reader.Next(strLine, bCutShort))
    {
        TrimRight(strLine);
        if (reader.LineNumber() == 1)
        {
            if (strcmp(strLine.GetString(), szHeader4) != 0 && strcmp(strLine.GetString(), szHeader5) != 0)
                strWhat = "the first line is not \"REGEDIT4\"";
            continue;
        }
        SCursor cur = {strLine.GetString()};
        cur.SkipBlanks();
        if (*cur.p == 0)
            continue;
        if (*cur.p == ';')
            NoteComment(cur.p, reader.LineNumber(), bSigned, bEnded);
        else if (*cur.p == '[')
            pKey = ParseKeyLine(*this, cur.p, strLine, strWhat);
        else if (*cur.p != '"' && *cur.p != '@')
            strWhat = "expected a [key] line or a \"name\"=value line";
        else if (pKey == nullptr)
            strWhat = "a value comes before the first [key] line";
        else if (!ParseValueLine(cur, pKey, reader, strLine, bCutShort, strWhat))
            break;
    }

    if (strWhat.IsEmpty() && bCutShort)
        strWhat = "the last line has no line end: the file is cut short";
    else if (strWhat.IsEmpty() && bSigned && !bEnded)
        strWhat.Format("the file is cut short: its last line \"%s\" is missing", g_szRegTextEnd);
    if (strWhat.IsEmpty())
        return true;

    arrKeys.RemoveAll();
    if (reader.LineNumber() > 0)
        strError.Format("line %d: %s", reader.LineNumber(), strWhat.GetString());
    else
        strError = strWhat;
    return false;
}

namespace
{
const char* FindComment(const SRegValueComment* pComments, const CCArray& strName)
{
    if (pComments == nullptr || strName.IsEmpty())
        return nullptr;
    for (const SRegValueComment* p = pComments; p->pszName != nullptr; p++)
        if (strcmp(p->pszName, strName.GetString()) == 0)
            return p->pszComment;
    return nullptr;
}
} // namespace

void CRegText::Write(CCArray& strOut, const SRegValueComment* pComments) const
{
    strOut.SetText("", 0);
    strOut += szHeader4;
    strOut += "\r\n";
    strOut += g_szRegTextSignature;
    strOut += "\r\n";
    for (int32_t k = 0; k < arrKeys.GetSize(); k++)
    {
        const SRegKeyText* pKey = arrKeys.pData[k];
        strOut += "\r\n[";
        strOut += pKey->strPath;
        strOut += "]\r\n";
        for (int32_t v = 0; v < pKey->arrValues.GetSize(); v++)
        {
            const SRegValue* pValue = pKey->arrValues.pData[v];
            if (const char* pszComment = FindComment(pComments, pValue->strName))
                strOut += pszComment;
            int32_t nLineStart = strOut.GetLength();
            if (pValue->strName.IsEmpty())
                strOut += "@=";
            else
            {
                strOut += '"';
                AppendEscaped(strOut, pValue->strName.GetString(), pValue->strName.GetLength());
                strOut += "\"=";
            }
            int32_t nSize = pValue->data.GetSize();
            if (IsPlainString(*pValue))
            {
                strOut += '"';
                AppendEscaped(strOut, (const char*)pValue->data.pData, nSize - 1);
                strOut += "\"\r\n";
                continue;
            }
            if (pValue->nType == REGTEXT_DWORD && nSize == 4)
            {
                const unsigned char* p = pValue->data.pData;
                CCArray strNumber;
                strNumber.Format("dword:%08x\r\n", (unsigned)p[0] | ((unsigned)p[1] << 8) |
                                                       ((unsigned)p[2] << 16) | ((unsigned)p[3] << 24));
                strOut += strNumber;
                continue;
            }
            if (pValue->nType == REGTEXT_BINARY)
                strOut += "hex:";
            else
            {
                CCArray strType;
                strType.Format("hex(%x):", (unsigned)pValue->nType);
                strOut += strType;
            }
            for (int32_t i = 0; i < nSize; i++)
            {
                AppendHexByte(strOut, pValue->data.pData[i]);
                if (i + 1 == nSize)
                    break;
                strOut += ',';
                if (strOut.GetLength() - nLineStart > HEX_LINE_WIDTH)
                {
                    strOut += "\\\r\n  ";
                    nLineStart = strOut.GetLength() - 2;
                }
            }
            strOut += "\r\n";
        }
    }
    strOut += "\r\n";
    strOut += g_szRegTextEnd;
    strOut += "\r\n";
}

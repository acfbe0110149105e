// CommandTemplate.cpp: placeholder expansion and program lookup of open command templates.
#include "ui/CommandTemplate.h"

#include <cstdio>
#include <cstring>

namespace
{
// The output being built; every piece is refused that would leave no room for the terminator.
class COutput
{
public:
    COutput(char* psz, size_t nSize) : pszOut(psz), nLimit(nSize), nLength(0) {}

    bool Append(const char* p, size_t n)
    {
        if (nLimit == 0 || nLength + n + 1 > nLimit)
            return false;
        memcpy(pszOut + nLength, p, n);
        nLength += n;
        pszOut[nLength] = 0;
        return true;
    }
    bool Append(const char* psz) { return Append(psz, strlen(psz)); }

private:
    char* pszOut;
    size_t nLimit;
    size_t nLength;
};
} // namespace

int ExpandCommandTemplate(const char* pszTemplate, char* pszOut, size_t nOutSize, const char* pszDocument,
                          const char* pszShortDocument, long nShowCmd, bool bLongNames, bool* pbInserted)
{
    COutput out(pszOut, nOutSize);
    if (nOutSize == 0)
        return EXPAND_FAILED;
    pszOut[0] = 0;
    *pbInserted = false;
    // True until anything but double quotes has been written: a document that opens the command
    // line is the program itself and keeps its long name.
    bool bNothingYet = true;
    char szNumber[32];

    const char* p = pszTemplate;
    while (*p != 0)
    {
        if (*p != '%')
        {
            if (!out.Append(p, 1))
                return EXPAND_FAILED;
            if (*p != '"')
                bNothingYet = false;
            p++;
            continue;
        }
        char ch = p[1];
        if (ch == 0)
            break;
        bool bOk = true;
        size_t nUsed = 2;
        switch (ch)
        {
        case '1':
        case '0':
            if (!bNothingYet && !bLongNames && pszShortDocument != nullptr)
                bOk = out.Append(pszShortDocument);
            else
                bOk = out.Append(pszDocument);
            *pbInserted = true;
            break;
        case 'L':
        case 'l':
            bOk = out.Append(pszDocument);
            *pbInserted = true;
            break;
        case 'S':
        case 's':
            snprintf(szNumber, sizeof(szNumber), "%ld", nShowCmd);
            bOk = out.Append(szNumber);
            break;
        case 'H':
        case 'h':
            snprintf(szNumber, sizeof(szNumber), "%X", 0u);
            bOk = out.Append(szNumber);
            break;
        case 'I':
        case 'i':
            bOk = out.Append(":0");
            break;
        case 'D':
        case 'd':
            return EXPAND_FAILED;
        case '*':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            // The extra arguments: a document is opened with none.
            break;
        case '~':
            if (p[2] >= '2' && p[2] <= '9')
            {
                nUsed = 3;
                break;
            }
            // Not a placeholder: the "%" stands for itself and the "~" is read as text.
            bOk = out.Append("%", 1);
            nUsed = 1;
            break;
        default:
            bOk = out.Append(&p[1], 1);
            break;
        }
        if (!bOk)
            return EXPAND_FAILED;
        bNothingYet = false;
        p += nUsed;
    }
    return EXPAND_OK;
}

bool GetProgramFromCommand(const char* pszTemplate, CCArray& strProgram)
{
    const char* p = pszTemplate;
    while (*p == ' ')
        p++;
    if (*p == '"' && p[1] != '%')
    {
        const char* pszEnd = strchr(p + 1, '"');
        if (pszEnd == nullptr)
            return false;
        strProgram.SetText(p + 1, (int32_t)(pszEnd - p - 1));
        return true;
    }
    if (*p == '%' || *p == 0)
        return false;
    const char* pszEnd = strchr(p, ' ');
    strProgram.SetText(p, pszEnd != nullptr ? (int32_t)(pszEnd - p) : (int32_t)strlen(p));
    return true;
}

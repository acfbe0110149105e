// FormBody.cpp: the url-encoded and multipart bodies and their exact lengths.
#include "agent/FormBody.h"

#include <cstdio>
#include <cstring>

#include "agent/Progress.h"
#include "foundation/DiskFile.h"
#include "foundation/TextHelpers.h"

namespace
{

const int BOUNDARY_LENGTH = 40;
// Byte counts of the multipart templates with a 40-character boundary: the plain part without
// name and value; the file part header without name, file name and content type, plus the CR LF
// after the file's bytes; the closing boundary line.
const int64_t PLAIN_PART_BYTES = 89;
const int64_t FILE_PART_BYTES = 118;
const int64_t CLOSING_BYTES = 46;
const int FILE_BLOCK = 1024;

[[noreturn]] void ThrowText(const char* psz)
{
    throw CCArray(psz);
}

void AppendLengthLine(CCArray& strHead, int64_t nLength)
{
    char szLine[40];
    snprintf(szLine, sizeof(szLine), "Content-Length: %d\r\n", (int)nLength);
    strHead.Append(szLine);
}

void SendText(CBlockingSocket& sock, const CCArray& str)
{
    if (str.GetLength() > 0)
        sock.SendAll(str.GetString(), str.GetLength());
}

void SendFile(const SFormVar& var, int64_t nSize, CBlockingSocket& sock, SHttpProgress* pProgress,
              STransferCounter* pCounter)
{
    // Closed by its destructor however the transfer ends.
    CDiskFile file;
    file.Open(var.filePath.GetString(), CDiskFile::modeRead | CDiskFile::shareDenyWrite);
    if (pProgress && !pProgress->downloadMode)
    {
        pProgress->state.exchange(PROGRESS_SENDING);
        pProgress->total.exchange((int32_t)nSize);
    }
    char block[FILE_BLOCK];
    int64_t nSent = 0;
    while (nSent < nSize)
    {
        int64_t nWant = nSize - nSent < FILE_BLOCK ? nSize - nSent : FILE_BLOCK;
        uint32_t nRead = file.Read(block, (uint32_t)nWant);
        // The length is already on the wire: a file that shrank since cannot fill it.
        if (nRead == 0)
            ThrowText("File changed while it was sent");
        sock.SendAll(block, (int)nRead);
        nSent += nRead;
        if (pProgress && !pProgress->downloadMode)
            pProgress->done.exchange((int32_t)nSent);
        if (pCounter && !pCounter->bDownload)
            pCounter->Add(nRead);
    }
}

} // namespace

void UrlEscape(const char* psz, CCArray& strOut)
{
    strOut.SetText("", 0);
    for (const unsigned char* p = (const unsigned char*)psz; *p; p++)
    {
        unsigned char ch = *p;
        if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' ||
            ch == '.' || ch == '_')
            strOut.AppendChar((char)ch);
        else
        {
            char szHex[4];
            snprintf(szHex, sizeof(szHex), "%%%02X", ch);
            strOut.Append(szHex, 3);
        }
    }
}

CCArray MakeBoundary()
{
    char szTail[32];
    int n = snprintf(szTail, sizeof(szTail), "%x%u%u", (unsigned)(uint32_t)SysTimeNow(),
                     (unsigned)SysCurrentThreadId(), (unsigned)SysProcessId());
    CCArray str;
    str.SetText("", 0);
    for (int i = n; i < BOUNDARY_LENGTH; i++)
        str.AppendChar('-');
    str.Append(szTail, n);
    return str;
}

void AppendBodyHeadLines(int nBodyKind, const CFormVarArray& vars, SBodyPlan& plan, CCArray& strHead)
{
    if (nBodyKind == BODY_URLENCODED)
    {
        plan.encoded.SetText("", 0);
        CCArray strEscaped;
        for (int32_t i = 0; i < vars.GetSize(); i++)
        {
            if (i > 0)
                plan.encoded.AppendChar('&');
            UrlEscape(vars[i].name.GetString(), strEscaped);
            plan.encoded.Append(strEscaped);
            plan.encoded.AppendChar('=');
            UrlEscape(vars[i].value.GetString(), strEscaped);
            plan.encoded.Append(strEscaped);
        }
        plan.nLength = plan.encoded.GetLength();
        strHead.Append("Content-Type: application/x-www-form-urlencoded\r\n");
        AppendLengthLine(strHead, plan.nLength);
        return;
    }
    if (nBodyKind != BODY_MULTIPART)
        return;

    plan.boundary = MakeBoundary();
    plan.contentTypes.SetSize(vars.GetSize());
    plan.fileSizes.SetSize(vars.GetSize());
    int64_t nTotal = 0;
    for (int32_t i = 0; i < vars.GetSize(); i++)
    {
        const SFormVar& var = vars[i];
        plan.fileSizes.pData[i] = 0;
        if (var.filePath.IsEmpty())
        {
            nTotal += var.name.GetLength() + var.value.GetLength() + PLAIN_PART_BYTES;
            continue;
        }
        if (var.value.IsEmpty())
            plan.contentTypes[i] = "application/octet-stream";
        else
        {
            uint64_t nSize = (uint64_t)-1;
            CDiskFile file;
            try
            {
                file.Open(var.filePath.GetString(), CDiskFile::modeRead | CDiskFile::shareDenyNone);
                nSize = file.GetLength();
            }
            catch (CDiskFileException* pError)
            {
                delete pError;
            }
            file.Close();
            if (nSize == (uint64_t)-1)
                ThrowText("Couldn't retrieve file size");
            GetContentType(GetExtensionPart(GetFileNamePart(var.filePath.GetString())), plan.contentTypes[i]);
            plan.fileSizes.pData[i] = (int64_t)nSize > INT32_MAX ? (int64_t)INT32_MAX + 1 : (int64_t)nSize;
        }
        nTotal += var.name.GetLength() + var.value.GetLength() + plan.contentTypes[i].GetLength() +
                  plan.fileSizes.pData[i] + FILE_PART_BYTES;
        if (nTotal > INT32_MAX)
            ThrowText("Content-Length is out of range");
    }
    nTotal += CLOSING_BYTES;
    if (nTotal > INT32_MAX)
        ThrowText("Content-Length is out of range");
    plan.nLength = nTotal;
    strHead.Append("Content-Type: multipart/form-data; boundary=");
    strHead.Append(plan.boundary);
    strHead.Append("\r\n");
    AppendLengthLine(strHead, nTotal);
}

void SendBody(int nBodyKind, const CFormVarArray& vars, const SBodyPlan& plan, CBlockingSocket& sock,
              SHttpProgress* pProgress, STransferCounter* pCounter)
{
    if (nBodyKind == BODY_URLENCODED)
    {
        SendText(sock, plan.encoded);
        return;
    }
    if (nBodyKind != BODY_MULTIPART)
        return;

    for (int32_t i = 0; i < vars.GetSize(); i++)
    {
        const SFormVar& var = vars[i];
        CCArray strPart("--");
        strPart.Append(plan.boundary);
        strPart.Append("\r\nContent-Disposition: form-data; name=\"");
        strPart.Append(var.name);
        if (var.filePath.IsEmpty())
        {
            strPart.Append("\"\r\n\r\n");
            strPart.Append(var.value);
            strPart.Append("\r\n");
            SendText(sock, strPart);
            continue;
        }
        strPart.Append("\"; filename=\"");
        strPart.Append(var.value);
        strPart.Append("\"\r\nContent-Type: ");
        strPart.Append(plan.contentTypes[i]);
        strPart.Append("\r\n\r\n");
        SendText(sock, strPart);
        if (!var.value.IsEmpty())
            SendFile(var, plan.fileSizes.pData[i], sock, pProgress, pCounter);
        sock.SendAll("\r\n", 2);
    }
    CCArray strClosing("--");
    strClosing.Append(plan.boundary);
    strClosing.Append("--\r\n");
    SendText(sock, strClosing);
}

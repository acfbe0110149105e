// FormBody.h: form variables and the two request bodies built from them, url-encoded and
// multipart/form-data, with a Content-Length that always equals the bytes sent.
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/CharArray.h"
#include "net/BlockingSocket.h"

struct SHttpProgress;
struct STransferCounter;

enum EBodyKind
{
    BODY_NONE = 0,       // GET
    BODY_URLENCODED = 1, // POST application/x-www-form-urlencoded
    BODY_MULTIPART = 2,  // POST multipart/form-data
};

struct SFormVar
{
    CCArray name;
    CCArray value;    // a file variable's file name as announced; empty sends no file content
    CCArray filePath; // not empty: a file variable whose part carries this file's bytes
};

class CFormVarArray : public CArrayObj<SFormVar, SFormVar&>
{
public:
    CFormVarArray() : CArrayObj<SFormVar, SFormVar&>(8) {}
};

// Letters, digits, '-', '.' and '_' as they are; every other byte as "%XX" (space too).
void UrlEscape(const char* psz, CCArray& strOut);
// The content type registered for a file extension (without its dot), else
// "application/octet-stream".
void GetContentType(const char* pszExtension, CCArray& strOut);
// 40 characters: '-' characters in front of "%x%u%u" of the time, the thread and the process.
CCArray MakeBoundary();

// What the length pass found, for the send pass: the boundary, the content type and the size of
// every variable, or the url-encoded body itself.
struct SBodyPlan
{
    CCArray boundary;
    CArrayObj<CCArray, CCArray&> contentTypes;
    CArraySimpleObj<int64_t, int64_t> fileSizes;
    CCArray encoded;
    int64_t nLength;

    SBodyPlan() : nLength(0) {}
};

// The length pass: computes the body and appends its Content-Type and Content-Length lines to
// the head. Throws "Couldn't retrieve file size" or "Content-Length is out of range" as CCArray.
void AppendBodyHeadLines(int nBodyKind, const CFormVarArray& vars, SBodyPlan& plan, CCArray& strHead);
// The send pass, after the head. A file is sent with exactly the size the length pass announced.
void SendBody(int nBodyKind, const CFormVarArray& vars, const SBodyPlan& plan, CBlockingSocket& sock,
              SHttpProgress* pProgress, STransferCounter* pCounter);

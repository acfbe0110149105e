// HttpHead.h: CHtHead, a parsed message head, and CHtRespHead, the head of a response.
#pragma once

#include "foundation/Array.h"
#include "foundation/CharArray.h"

class CHtHead
{
public:
    CHtHead() : names(8), values(8) {}
    virtual ~CHtHead() {}

    // Parses a head block (the first line, the header lines, each ended by CR LF, and the empty
    // line). The block is unfolded in place first. False when the first line does not parse.
    bool Parse(CCArray& strBlock);
    // The value of the first header whose name equals pszName ignoring case.
    bool GetHeader(const char* pszName, CCArray& strValue) const;

    CArrayObj<CCArray, CCArray&> names;
    CArrayObj<CCArray, CCArray&> values; // values[i] belongs to names[i]
    CCArray rawHeaders;                  // the header lines, each with its CR LF

protected:
    virtual bool ParseFirstLine(const CCArray& strLine) = 0;
};

class CHtRespHead : public CHtHead
{
public:
    CHtRespHead() : version(0), status(0) {}

    int version; // major in the high 16 bits, minor in the low 16; each at most 999
    int status;  // at most 999
    CCArray statusText; // from the status code to the end of the line, "200 OK"

protected:
    bool ParseFirstLine(const CCArray& strLine) override;
};

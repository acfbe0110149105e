// VersionInfo.h: SVersionInfo, what the crash path and the About box read from a module's
// version resource.
//
// The product is identified by the version resource of the host module, not by compiled-in
// constants, so that the program and the installer library name themselves in their own reports.
#pragma once

#include "foundation/CharArray.h"

struct SVersionInfo
{
    // File version folded into four decimal digits, ((major * 10 + minor) * 10 + third) * 10 +
    // fourth: 1.2.0.1 gives 1201. Only 10..9999 is accepted.
    int number;
    // Short version text made from number: 1201 gives "1.2", 1234 "1.23", 1000 "1.0".
    CCArray text;
    // The resource's OriginalFilename and ProductName strings.
    CCArray originalFilename;
    CCArray productName;

    SVersionInfo() : number(0) {}

    // Reads the version resource of the file at pszPath. The resource must carry exactly one
    // translation, with code page 0; any missing piece makes the whole read fail.
    bool Read(const char* pszPath);
};

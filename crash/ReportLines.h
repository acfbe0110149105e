// ReportLines.h: lines of the crash report, and the list of the process's modules.
#pragma once

#include "foundation/DiskFile.h"

// Writes pszText and "\r\n" to the report.
void WriteReportLine(const char* pszText, CDiskFile& file);

// One line per loaded module that has version information: its path, product and file versions,
// base and size. The tool-help functions are bound at run time from Kernel32; without them, or
// after a fault while walking the modules, the list is shorter or empty and the report goes on.
void WriteModuleList(CDiskFile& file);

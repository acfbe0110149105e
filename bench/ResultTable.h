// The figures of one run of the generator as a file of "key<TAB>cell" lines, and the table that puts
// the files of several runs side by side.
#pragma once

#include "Measurements.h"

#include <string>
#include <vector>

// bAppend adds the results to a file written before (another run against the same proxy).
bool WriteResults(const std::string& strFile, const std::string& strName, const CResults& results,
                  bool bAppend = false);
// Prints one table: a row per measurement, a column per file, under the date, the machine and the
// load average strLoad. Returns false if a file is unreadable.
bool PrintTable(const std::vector<std::string>& arrFiles, double dSeconds, const std::string& strLoad);

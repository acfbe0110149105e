// The figures of one run of the generator as a file of "key<TAB>cell" lines, and the table that puts
// the files of several runs side by side.
#pragma once

#include "Measurements.h"

#include <string>
#include <vector>

// bAppend adds the results to a file written before (another run against the same proxy).
bool WriteResults(const std::string& strFile, const std::string& strName, const CResults& results,
                  bool bAppend = false);
// Combines the files of several rounds against one proxy into one file: per figure, the round
// with the median value (its cell as it stands, error count included); latency cells take the
// median of each of their two figures. A figure that is not a number is taken from the first round
// that has it. Returns false if a file is unreadable or the output cannot be written.
bool WriteMedians(const std::string& strOut, const std::vector<std::string>& arrFiles);
// Prints one table: a row per measurement, a column per file, under the date, the machine and the
// load average strLoad. Returns false if a file is unreadable.
bool PrintTable(const std::vector<std::string>& arrFiles, double dSeconds, const std::string& strLoad,
                int nRounds);

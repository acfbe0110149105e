// FileText.h: a whole file read into a string and written from one, in binary, for tests that
// check what the program wrote or hand it what it must read.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The file's bytes; empty when it cannot be read.
inline std::string ReadFileText(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Replaces the file's bytes with strText (creates it when missing).
inline void WriteFileText(const std::string& strPath, const std::string& strText)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
}

// ChildProcess.h: running a Windows program from a test, with a bounded wait, and small file
// helpers for what it leaves behind (reading files and Unix paths: GuiDriver.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Runs szCommandLine with the working folder strFolder (empty: the test's own) and waits at most
// nTimeoutMs; a program still running then is terminated. The program's exit code, or -1 when it
// could not be started or had to be terminated.
int64_t RunChildProcess(const std::string& strCommandLine, const std::string& strFolder, uint32_t nTimeoutMs);

// The folder of the running test executable, with a trailing backslash.
std::string TestExecutableFolder();
// A new empty folder strPath (an existing one is emptied of files first).
void MakeEmptyFolder(const std::string& strPath);
// The names of the files in strFolder that match strPattern ("*.txt").
std::vector<std::string> ListFiles(const std::string& strFolder, const std::string& strPattern);
bool FileExists(const std::string& strPath);

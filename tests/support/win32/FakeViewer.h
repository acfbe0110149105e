// FakeViewer.h: fakeviewer.exe registered as the viewer of document types, and what it recorded.
//
// fakeviewer.exe (tests/ui/FakeViewer.cpp) is built beside the test programs; it appends its
// command line to the file named by TG_VIEWER_LOG. A CFakeViewer points TG_VIEWER_LOG of this
// process (and so of every viewer it starts) at a fresh file, registers commands for document
// types in HKEY_CLASSES_ROOT, and puts each type's previous registration back when destroyed.
#pragma once

#include <string>
#include <vector>

class CFakeViewer
{
public:
    CFakeViewer();
    ~CFakeViewer();

    // Makes pszTemplate the command of the verb ("Open", "opennew") for the type (".txt"...);
    // "{viewer}" in it stands for the full path of fakeviewer.exe.
    void Register(const char* pszType, const char* pszTemplate, const char* pszVerb = "Open");
    // The command lines recorded so far, after waiting up to nTimeoutMs for at least nLines.
    std::vector<std::string> WaitForLines(size_t nLines, int nTimeoutMs = 10000) const;

    static std::string ProgramFolder(); // of the running test program, ending in a backslash
    static std::string ViewerPath();

private:
    std::string strLog;
    std::vector<std::string> types;      // registered types, each with its previous class below
    std::vector<std::string> oldClasses; // empty: the type had no class
};

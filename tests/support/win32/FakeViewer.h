// FakeViewer.h: registering fakeviewer.exe for a document type and reading what it recorded.
//
// fakeviewer.exe (tests/ui/FakeViewer.cpp) is built beside the test programs. A CFakeViewer makes
// it the viewer of one document type in HKEY_CLASSES_ROOT for the object's lifetime, points
// TG_VIEWER_LOG of this process (and so of every viewer it starts) at a fresh log file, and puts
// the type's previous registration back when destroyed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CFakeViewer
{
public:
    // pszType: ".txt", ".html"...; pszTemplate: the open command, with "{viewer}" standing for
    // the quoted-free full path of fakeviewer.exe, for example "\"{viewer}\" \"%1\"".
    // pszVerb: "Open" or "opennew".
    CFakeViewer(const char* pszType, const char* pszTemplate, const char* pszVerb = "Open");
    ~CFakeViewer();

    // Adds another verb's command to the first type's class.
    void AddVerb(const char* pszVerb, const char* pszTemplate);
    // Registers the same viewer (and log) for one more document type.
    void AddType(const char* pszType, const char* pszTemplate);
    // The command lines recorded so far, waiting up to nTimeoutMs until there are at least nLines.
    std::vector<std::string> WaitForLines(size_t nLines, int nTimeoutMs = 10000) const;

    static std::string ViewerPath();
    // The folder of the running test program, with a trailing backslash.
    static std::string ProgramFolder();

    std::string strLog;

private:
    std::string Expand(const char* pszTemplate) const;

    struct SType
    {
        std::string strType;
        std::string strClass;
        std::string strOldClass;
        bool bHadClass;
    };
    std::vector<SType> types;
};

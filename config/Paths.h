// Paths.h: where the program lives, its temporary and data folders, and the logon Run entry.
//
// Windows: the temporary folder is the system's (GetTempPath) + "TollgateTempDir\", the data folder
// is "Kestrel Co\Tollgate\" in the user's local application data (an installed program's own
// folder is not writable for its user), and "Auto Start" is the value of the product's name under
// the current user's Run key. Paths that the code page cannot spell are taken in their short form.
//
// POSIX: the program's folder is the executable's folder (/proc/self/exe). The temporary folder is
// $TMPDIR (or /tmp) + "TollgateTempDir-<uid>/", private to the user (mode 0700): /tmp is shared by
// every user, and the snapshot written there lists the clients of the proxy. The program's folder
// is usually not writable by its user (/usr/bin...), so the default log folder lives in the data
// folder $XDG_STATE_HOME/tollgate/ (~/.local/state/tollgate/ without it) and is "Log" in there.
// There is no Run key: SetAutoStart does nothing (a service manager starts the headless program).
#pragma once

#include <cstdint>

#include "foundation/CharArray.h"
#include "platform/Platform.h"

struct SPaths
{
    CCArray strModulePath;    // full path of the running program file
    CCArray strProgramFolder; // strModulePath up to and including its last separator
    CCArray strTempFolder;    // the program's temporary folder, always ending in a separator
    CCArray strDataFolder;    // holds the default log folder; ends in a separator
};

extern SPaths g_paths;

// Fills g_paths and creates the temporary folder. False only when the program's own path cannot
// be obtained. When the system reports no temporary folder, the program's folder takes its place.
bool InitPaths();
// Deletes the files in the temporary folder, ignoring failures; subfolders and files in use stay.
void CleanTempFolder();

// The default log folder: strDataFolder + "Log".
void GetDefaultLogFolder(CCArray& strFolder);
// Creates the folder and every missing folder above it, ignoring failures on the way. True when
// the folder exists afterwards.
bool CreateFolderPath(const char* pszFolder);

// The root key of the Run entry: HKEY_CURRENT_USER in the program; POSIX has none.
#ifdef _WIN32
typedef HKEY AUTOSTARTROOT;
#else
typedef void* AUTOSTARTROOT;
#endif

// Creates (bEnable != 0) or deletes the logon Run entry pszValueName under hRoot's
// Software\Microsoft\Windows\CurrentVersion\Run, holding the program's path in its short form when
// the system can give one. Only a path on a drive letter ("X:\...") is ever registered; a network
// path is not. Failures leave the entry as it is, unreported. Does nothing on POSIX.
void SetAutoStart(AUTOSTARTROOT hRoot, const char* pszValueName, const char* pszProgramPath, int32_t bEnable);

// Implemented per platform, for InitPaths.
// The last part of the temporary folder's path, with its trailing separator.
void GetTempFolderLeaf(CCArray& strLeaf);
// Creates the temporary folder; that it exists already (normally from an earlier run) is no
// failure. False only when the folder exists but must not be used (POSIX: it is not the user's
// own); InitPaths then makes the temporary folder inside the data folder instead.
bool CreateTempFolder(const char* pszFolder);
// The data folder for a program in strProgramFolder, ending in a separator.
void GetDataFolder(const CCArray& strProgramFolder, CCArray& strFolder);

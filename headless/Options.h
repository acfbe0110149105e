// Options.h: the headless proxy's command line.
//
// Every option is checked, and the password read, before anything is loaded or written: a bad
// value gets one line naming the option and the problem, and the program ends with exit code 2
// having changed nothing. The settings options override the stored settings for this run;
// --save writes them into the store as well.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/Settings.h"
#include "foundation/Array.h"
#include "foundation/CharArray.h"

struct SHeadlessOptions
{
    SHeadlessOptions();

    const char* pszConfig; // --config PATH; null: the default store
    bool bStdinStop;       // --stdin-stop
    bool bHelp;            // --help
    bool bVersion;         // --version
    bool bSave;            // --save

    bool bListen; // --listen ADDR:PORT
    sockaddr_in saListen;
    CArraySimpleObj<IP_RANGE2, const IP_RANGE2&> arrAllow; // every --allow, each ordered first <= last
    const char* pszUser;                                   // --user NAME; null when not given
    const char* pszPasswordFile;                           // --password-file FILE; null: standard input
    CCArray strPassword;                                   // read by ReadPassword
    bool bNoSocks4;                                        // --no-socks4
    bool bNoSocks5;                                        // --no-socks5
    int32_t nLimit;                                        // --limit N; 0 when not given
    const char* pszLogFolder;                              // --log-folder DIR
    bool bNoLog;                                           // --no-log
    bool bLogStderr;                                       // --log-stderr

private:
    SHeadlessOptions(const SHeadlessOptions&) = delete;
    SHeadlessOptions& operator=(const SHeadlessOptions&) = delete;
};

// Parses and checks the command line. False with strError holding the one line to print.
bool ParseOptions(int argc, char** argv, SHeadlessOptions& opt, CCArray& strError);
// With --user: reads the password, the first line of --password-file or of pStdin (up to its
// LF or CR LF; a UTF-8 byte order mark before it is dropped). False with strError when it cannot
// be read, does not fit the store (1 to 32 characters), holds a NUL byte, or is UTF-16 text (a
// byte order mark FF FE or FE FF: a Windows editor's "Unicode"), which would otherwise be cut at
// its first NUL into a password of a byte or three.
bool ReadPassword(SHeadlessOptions& opt, FILE* pStdin, CCArray& strError);
// Puts the settings options into the record and the connection limit. The options keep
// overriding the settings file at every reload (SIGHUP), the password read at start included.
void ApplyOptions(const SHeadlessOptions& opt, SSettings& settings);

void PrintUsage(FILE* pOut);

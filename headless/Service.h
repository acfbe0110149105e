// Service.h: what the headless proxy does as a service beyond serving: the warnings about who can
// use it, the reload of its settings file (SIGHUP) and its state (SIGUSR1).
//
// A reload applies the settings file as the Windows program applies its Options sheet: the
// allowed ranges, the IP filter, the SOCKS4 and SOCKS5 switches, the user name and password and
// the connection limit take effect for the next client, through the same calls the sheet makes
// (ReplaceIpRanges and ReplaceCredentials, engine/AccessRules.h; the flags and the limit written
// in place), and no running session ends. The service address and the two log settings are
// captured by the server at its start: a change of them restarts the server, as the Windows
// program's restart does. The command-line options keep overriding the file.
#pragma once

#include <cstdint>

#include "config/Settings.h"
#include "foundation/CharArray.h"
#include "headless/Options.h"

// The warnings for these settings, each a line ending in "\n" (none: empty):
//   - an open proxy: a service address outside 127.0.0.0/8 (0.0.0.0 included) with neither the
//     IP filter nor authentication in force (authentication is not in force while SOCKS4, which
//     has no password, stays on);
//   - otherwise SOCKS4 switched on while SOCKS5 clients must give a password: SOCKS4 clients give
//     none, so they pass without it.
void GetExposureWarnings(const SSettings& settings, CCArray& strWarnings);

// Loads the settings file into next, with the command-line options put over it, and the next
// connection limit into nNextLimit; nConnectionLimit is left as it was. False with strWhy when the
// file cannot be used (it cannot be read, is malformed, or gives no usable "Service Address"):
// the running settings then stay as they are.
bool LoadForReload(const SHeadlessOptions& opt, SSettings& next, int32_t& nNextLimit, CCArray& strWhy);

// Puts next into g_settings and nNextLimit into nConnectionLimit; call on the main thread. The
// access rules apply to the next client at once. True when the service address or a log setting
// changed, which takes a restart of the server (RestartServer); strRestartWhy then says what
// changed, for instance "the service address changed from 127.0.0.1:1080 to 127.0.0.1:1081" (a file
// that names the address and port the server listens on now, bound from a stored port 0, changes
// nothing).
bool ApplyReloadedSettings(const SSettings& next, int32_t nNextLimit, CCArray& strRestartWhy);

// Writes the session-table snapshot page into the folder of the open session log, or into the
// data folder (the state directory) while no log is open, and gives the one line of the state:
//   Statistics: started 2026-01-02 10:11:12 +0100; active connections 2; source TCP 1234 bytes,
//   UDP 0 bytes; destination TCP 1200 bytes, UDP 0 bytes; snapshot /var/lib/.../Snapshot.html
// (one line; "snapshot not written (<why>)" when the page could not be written).
void WriteState(CCArray& strLine);

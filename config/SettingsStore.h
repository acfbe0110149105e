// SettingsStore.h: loading and saving the settings record, and the first-run marker.
//
// The settings are the values of one registry key of the current user, Software\Kestrel Co\Tollgate
// under HKEY_CURRENT_USER. Integers are 4-byte REG_BINARY values in little-endian order (not
// REG_DWORD), strings REG_SZ with their terminator. Every operation opens the key, does its work
// and closes it; nothing watches the key for outside changes.
//
// On Windows the key is the registry's. On POSIX the same key lives in one text file in the form
// regedit imports and exports (config/RegText.h), by default
//     $XDG_CONFIG_HOME/tollgate/tollgate.reg   (~/.config/tollgate/tollgate.reg without it)
// Every write replaces that file whole and atomically: the new text goes to "<file>.new-<pid>", is
// flushed to the disk, and is then renamed over the old file, so a crash or a full disk leaves the
// old file or the new one, never a mix. A file that cannot be opened or read this time loads as
// the defaults and is left alone (nothing is saved over it in that run). A malformed file loads as the
// defaults with a message on the standard error, and is never overwritten: before the next write
// it is renamed to "<file>.bad-<n>" (the first free n from 1 on).
#pragma once

#include <cstdint>

#include "config/RegText.h"
#include "config/Settings.h"
#include "platform/Platform.h"

// Value types, with the registry's numbers.
enum
{
    SETTINGS_TYPE_SZ = 1,
    SETTINGS_TYPE_BINARY = 3,
};

// Fills the record and nConnectionLimit from the store, in the order "Auto Start" to "Connection
// Limit", applying every default and derived rule. Called once at start-up, after InitPaths: a
// missing "Log Folder" defaults to the data folder (config/Paths.h) + "Log", which is created.
void LoadSettings(SSettings& settings);
// Writes every value of the record and nConnectionLimit. True when every write succeeded (on
// POSIX: and the file was replaced); the shell may ignore it, as the registry's writes fail only
// in extraordinary conditions.
bool SaveSettings(const SSettings& settings);
// True the first time it is ever called for the store: looks up the value "setonce", then writes
// it (4 bytes, value 1) in every case.
bool IsFirstRun();
// The size in bytes of the "Service Address" value that the last LoadSettings found, or -1 when
// it found none (no store yet, a store that could not be read or used, no such value). Only 16 is
// a usable address; any other size gave the default, every address on port 1080, which the
// headless proxy must never serve by accident (headless/HeadlessStore.h).
int32_t GetLoadedServiceAddressSize();

// ---------------------------------------------------------------------------------------------
// The key itself.
#ifdef _WIN32
typedef HKEY SETTINGSKEY;
#else
class CSettingsFile;
typedef CSettingsFile* SETTINGSKEY;
#endif

// Opens the settings key, creating each missing level; null when it cannot be opened (every read
// then fails, so all defaults apply). On POSIX this reads the whole file.
SETTINGSKEY OpenSettingsKey();
// Closes the key. On POSIX, when a value was written, the file is replaced first; false when that
// failed (the old file is then left as it was, and the standard error says why).
bool CloseSettingsKey(SETTINGSKEY hKey);
// Reads a whole value, however long, into data (a buffer as large as the value: nothing is cut).
// False when the key is null or the value is absent or cannot be read; data is then empty.
bool ReadSettingsValue(SETTINGSKEY hKey, const char* pszName, CByteArray& data);
// Writes a value of the given type; false when the key is null or the write failed.
bool WriteSettingsValue(SETTINGSKEY hKey, const char* pszName, uint32_t nType, const void* pData,
                        uint32_t nSize);
// Why the last OpenSettingsKey took none of the store's values although the store is there (POSIX:
// "it is not a plain file", "line 3: ...", "it cannot be opened: ..."), as the standard error was
// told; empty when it was read and parsed, or when there was none. Windows: always empty.
void GetSettingsStoreTrouble(CCArray& strWhy);

// Where the store lives. Windows: the key path under HKEY_CURRENT_USER (default
// "Software\Kestrel Co\Tollgate"); POSIX: the store file (default above). Null or an empty text
// restores the default. For tests and for the headless program's --config option.
void SetSettingsStorePath(const char* pszPath);
// The path in use, as SetSettingsStorePath takes it (POSIX: empty when there is no configuration
// folder, that is neither $XDG_CONFIG_HOME nor $HOME is set).
void GetSettingsStorePath(CCArray& strPath);

#ifndef _WIN32
// The comment lines the store file is written with, above the values they name (null: none); the
// table must outlive its use. The registry keeps no comments, hence POSIX only.
void SetSettingsFileComments(const SRegValueComment* pComments);
#endif

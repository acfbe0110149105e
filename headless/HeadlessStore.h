// HeadlessStore.h: the settings store as the headless proxy keeps it.
//
// On Linux the store is a file the user edits by hand, so the program writes it with a comment
// above every value saying what it means and how it is written. The first start (no file yet)
// writes every default, with the headless default service address 127.0.0.1:1080, and the
// first-run marker. On Windows the store is the registry key the desktop program uses, whose
// defaults are left as they are.
#pragma once

#include "config/RegText.h"
#include "foundation/CharArray.h"

// Whether the store holds any settings yet (Windows: always true).
bool SettingsStoreExists();
// Whether the last LoadSettings took a usable "Service Address" from the store. When it did not
// (no file yet, a file that cannot be read or used, a value missing or of the wrong size), it gave
// the Windows program's default, every local address, which on Linux would make an open proxy:
// the headless proxy then serves 127.0.0.1:1080, this machine only, and a reload keeps the running
// settings. strWhy says why the file gave none, for the standard error; it is empty when there is
// no file at all (a first start). Windows: always true (the desktop program's defaults stay).
bool StoredAddressUsable(CCArray& strWhy);
// Saves g_settings and nConnectionLimit; on Linux in the commented form. False (with the reason
// on the standard error) when it could not be saved.
bool SaveHeadlessSettings();
// The comment lines of each known value, as the settings file carries them above the value (a
// table for CRegText::Write, ending with a null name).
const SRegValueComment* SettingComments();

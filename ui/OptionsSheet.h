// OptionsSheet.h: the Options sheet, the one place where the user edits the settings.
//
// Two pages, General and Access Restrictions, read the live settings when first shown, validate
// when left or confirmed, and write the live settings back when the sheet is confirmed with OK.
// Saving to the registry and offering a restart are the caller's.
#pragma once

#include <windows.h>

// Runs the modal sheet owned by hOwner. While it is open *phSheet holds the sheet's window (so a
// second request can bring it forward and the shell can end it at exit); null afterwards. The
// result is the sheet's: 1 when the user pressed OK and the pages were applied.
INT_PTR RunOptionsSheet(HWND hOwner, HWND* phSheet);

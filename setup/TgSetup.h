// TgSetup.h: tgsetup.dll, the installer's custom action that refuses to install over an older
// Tollgate installed by a different setup.
#pragma once

#include <windows.h>
#include <msi.h>

// The custom action: 0 lets the installation go on, 1603 (ERROR_INSTALL_FAILURE) makes it fail
// when an older version's uninstall entry is present. Exported by its plain name, callee-cleans.
extern "C" UINT __stdcall Install(MSIHANDLE hInstall);

// Shows pszText (null: the generic setup error) as an error message through the installer and
// returns 1603; for the all-ones handle it returns 1603 at once, without a message.
UINT ReportInstallError(MSIHANDLE hInstall, const char* pszText);

// True when the value exists, whatever its type and length.
bool RegistryValueExists(HKEY hRoot, const char* pszSubKey, const char* pszValueName);

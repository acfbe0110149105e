// OptionsSheet.cpp: the Options property sheet.
#include "ui/OptionsSheet.h"

#include <cstring>

#include "ui/DlgOptAccess.h"
#include "ui/DlgOptGeneral.h"

namespace
{
// Where the sheet's callback stores the sheet window; the callback carries no data of its own.
// Only one sheet runs at a time, on the user-interface thread.
HWND* g_phSheetWindow = nullptr;

int CALLBACK SheetCallback(HWND hSheet, UINT nMsg, LPARAM)
{
    if (nMsg == PSCB_INITIALIZED && g_phSheetWindow != nullptr)
        *g_phSheetWindow = hSheet;
    return 0;
}
} // namespace

INT_PTR RunOptionsSheet(HWND hOwner, HWND* phSheet)
{
    CDlgOptGeneral pageGeneral;
    CDlgOptAccess pageAccess;
    SPageDesc48 arrPages[2] = {pageGeneral.GetPageDesc(), pageAccess.GetPageDesc()};

    PROPSHEETHEADERA header;
    memset(&header, 0, sizeof(header));
    header.dwSize = PROPSHEETHEADERA_V1_SIZE;
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW | PSH_USECALLBACK;
    header.hwndParent = hOwner;
    header.hInstance = g_hInstance;
    header.pszCaption = "Options";
    header.nPages = 2;
    header.nStartPage = 0;
    header.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(arrPages);
    header.pfnCallback = SheetCallback;

    *phSheet = nullptr;
    g_phSheetWindow = phSheet;
    INT_PTR nResult = PropertySheetA(&header);
    g_phSheetWindow = nullptr;
    *phSheet = nullptr;
    return nResult;
}

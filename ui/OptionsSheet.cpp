// OptionsSheet.cpp: the Options property sheet.
#include "ui/OptionsSheet.h"

#include <cstring>

#include "ui/DlgOptAccess.h"
#include "ui/Dlg.h"
#include "ui/DlgOptGeneral.h"

namespace
{
// What the sheet's and the pages' callbacks work with; they carry no data of their own. Only one
// sheet runs at a time, on the user-interface thread.
struct SSheetRun
{
    HWND* phSheetWindow;
    const SPageDesc* pPages;
    int nPages;
    bool bFitted;
};
SSheetRun* g_pSheetRun = nullptr;

INT_PTR CALLBACK MeasureProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// The size the page's template asks for, in pixels of the page's own font. The units are mapped
// on a hidden instance of the page, made from the same template and destroyed at once.
bool MeasurePage(HWND hSheet, const SPageDesc& page, SIZE& size)
{
    HRSRC hResource = FindResourceA(page.hInstance, page.pszTemplate, RT_DIALOG);
    HGLOBAL hLoaded = hResource ? LoadResource(page.hInstance, hResource) : nullptr;
    const WORD* pTemplate = hLoaded ? (const WORD*)LockResource(hLoaded) : nullptr;
    if (!pTemplate)
        return false;
    // An extended template starts with version 1 and the signature 0xFFFF, and its size fields
    // sit further in than those of the plain one.
    bool bExtended = pTemplate[0] == 1 && pTemplate[1] == 0xFFFF;
    RECT rc = {0, 0, (short)pTemplate[bExtended ? 11 : 7], (short)pTemplate[bExtended ? 12 : 8]};
    HWND hPage =
        CreateDialogIndirectParamA(page.hInstance, (LPCDLGTEMPLATEA)pTemplate, hSheet, MeasureProc, 0);
    if (!hPage)
        return false;
    bool bMapped = MapDialogRect(hPage, &rc) != FALSE;
    DestroyWindow(hPage);
    size.cx = rc.right;
    size.cy = rc.bottom;
    return bMapped;
}

// The sheet sizes its page area in its own font's dialog units, while the pages' templates name
// another font, which some systems draw wider: their right and bottom edges would then be cut
// off. Grows the tab control until the largest page fits, moves the buttons below it by as much,
// and grows the sheet around both, keeping its centre. Nothing changes where the pages fit.
void FitSheetToPages(HWND hSheet, const SPageDesc* pPages, int nPages)
{
    SIZE sizeNeeded = {0, 0};
    for (int i = 0; i < nPages; i++)
    {
        SIZE size;
        if (!MeasurePage(hSheet, pPages[i], size))
            continue;
        if (size.cx > sizeNeeded.cx)
            sizeNeeded.cx = size.cx;
        if (size.cy > sizeNeeded.cy)
            sizeNeeded.cy = size.cy;
    }
    HWND hTab = PropSheet_GetTabControl(hSheet);
    if (!hTab)
        return;
    // The page area is the tab control's display area: its client area less the tabs and border.
    RECT rcArea;
    GetClientRect(hTab, &rcArea);
    TabCtrl_AdjustRect(hTab, FALSE, &rcArea);
    int dx = sizeNeeded.cx - (rcArea.right - rcArea.left);
    int dy = sizeNeeded.cy - (rcArea.bottom - rcArea.top);
    if (dx < 0)
        dx = 0;
    if (dy < 0)
        dy = 0;
    if (dx == 0 && dy == 0)
        return;

    RECT rcTab;
    GetWindowRect(hTab, &rcTab);
    MapWindowPoints(nullptr, hSheet, (POINT*)&rcTab, 2);
    for (HWND hChild = GetWindow(hSheet, GW_CHILD); hChild; hChild = GetWindow(hChild, GW_HWNDNEXT))
    {
        RECT rc;
        GetWindowRect(hChild, &rc);
        MapWindowPoints(nullptr, hSheet, (POINT*)&rc, 2);
        if (hChild != hTab && rc.top >= rcTab.bottom)
            SetWindowPos(hChild, nullptr, rc.left + dx, rc.top + dy, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    SetWindowPos(hTab, nullptr, 0, 0, rcTab.right - rcTab.left + dx, rcTab.bottom - rcTab.top + dy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    RECT rcSheet;
    GetWindowRect(hSheet, &rcSheet);
    MONITORINFO mi;
    mi.cbSize = sizeof(mi);
    if (!GetMonitorInfoA(MonitorFromWindow(hSheet, MONITOR_DEFAULTTONEAREST), &mi))
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &mi.rcWork, 0);
    int nWidth = rcSheet.right - rcSheet.left + dx, nHeight = rcSheet.bottom - rcSheet.top + dy;
    POINT pt = CenterPosition(rcSheet, mi.rcWork, nWidth, nHeight);
    SetWindowPos(hSheet, nullptr, pt.x, pt.y, nWidth, nHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

int CALLBACK SheetCallback(HWND hSheet, UINT nMsg, LPARAM)
{
    if (nMsg == PSCB_INITIALIZED && g_pSheetRun != nullptr)
        *g_pSheetRun->phSheetWindow = hSheet;
    return 0;
}

// Called before each page's window is made (and at other steps of its life). The sheet has sized
// itself by the time it makes its first page, whichever version of the common controls runs it,
// so the sheet is fitted then; every page is sized to the tab control's display area as it is
// shown, the first one included.
UINT CALLBACK PageCallback(HWND, UINT nMsg, LPPROPSHEETPAGEA)
{
    SSheetRun* pRun = g_pSheetRun;
    if (nMsg == PSPCB_CREATE && pRun != nullptr && *pRun->phSheetWindow != nullptr && !pRun->bFitted)
    {
        pRun->bFitted = true;
        FitSheetToPages(*pRun->phSheetWindow, pRun->pPages, pRun->nPages);
    }
    return 1; // the page may be made
}
} // namespace

INT_PTR RunOptionsSheet(HWND hOwner, HWND* phSheet)
{
    CDlgOptGeneral pageGeneral;
    CDlgOptAccess pageAccess;
    SPageDesc arrPages[2] = {pageGeneral.GetPageDesc(), pageAccess.GetPageDesc()};
    for (SPageDesc& page : arrPages)
    {
        page.dwFlags |= PSP_USECALLBACK;
        page.pfnCallback = PageCallback;
    }

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
    SSheetRun run = {phSheet, arrPages, 2, false};
    g_pSheetRun = &run;
    INT_PTR nResult = PropertySheetA(&header);
    g_pSheetRun = nullptr;
    *phSheet = nullptr;
    return nResult;
}

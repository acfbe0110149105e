// Dlg.h: the dialog framework: CDlg and its modal, modeless and property-page forms, the window
// map and the one dialog procedure that serves them all.
//
// Every dialog and property page is an object bound to its window. DlgProc finds the object of a
// window in g_wndMap and turns messages into virtual calls. The object's address travels to
// WM_INITDIALOG the same way for dialogs and for pages: the creation parameter points to a page
// description whose application-data word (lParam) holds the object. For a page the sheet passes
// its own copy of the description, so the object must be in the word, not found from the pointer.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstddef>

#include "foundation/Array.h"

// The program's instance: the module every template, icon and string is loaded from.
extern HINSTANCE g_hInstance;

// One entry of the window map: a window and the object that serves it.
struct SPtrByHwnd
{
    HWND hWnd;
    void* pObject;
    HWND GetKey() const { return hWnd; }
};

// Every window of the program that is bound to an object (dialogs, pages, tool buttons, tool
// button bars), sorted by handle. User-interface thread only: it has no lock.
extern CSortableArrayPtr<SPtrByHwnd, HWND> g_wndMap;

// Binds the window to the object; nothing happens when the window is already in the map.
void MapWindow(HWND hWnd, void* pObject);
// The object bound to the window, or null.
void* LookupWindow(HWND hWnd);
// Removes (and frees) the window's entry.
void UnmapWindow(HWND hWnd);

// The platform's property-page description in its second form (PROPSHEETPAGEA up to the header
// subtitles): 48 bytes on 32-bit Windows, 88 on 64-bit. The sheet walks an array of descriptions
// with a stride of each one's dwSize, and the compiler's PROPSHEETPAGEA is longer (it ends with
// the activation context), so the descriptions a sheet is given must be an array of this record.
#pragma pack(push, 4)
struct SPageDesc
{
    DWORD dwSize;
    DWORD dwFlags;
    HINSTANCE hInstance;
    LPCSTR pszTemplate;
    HICON hIcon;
    LPCSTR pszTitle;
    DLGPROC pfnDlgProc;
    LPARAM lParam;
    LPFNPSPCALLBACKA pfnCallback;
    UINT* pcRefParent;
    LPCSTR pszHeaderTitle;
    LPCSTR pszHeaderSubTitle;
};
#pragma pack(pop)
static_assert(sizeof(SPageDesc) == offsetof(PROPSHEETPAGEA, pszHeaderSubTitle) + sizeof(LPCSTR), "a property-page description in its second form");
#if defined(__i386__)
static_assert(sizeof(SPageDesc) == 48, "the 32-bit description is 48 bytes");
#endif
static_assert(offsetof(SPageDesc, lParam) == offsetof(PROPSHEETPAGEA, lParam), "lParam where the sheet puts it");

INT_PTR CALLBACK DlgProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);

class CDlg
{
public:
    explicit CDlg(UINT nTemplateId);
    virtual ~CDlg();

    // A message the dialog procedure does not handle itself; the result is the procedure's.
    virtual INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam);
    // TRUE lets the system set the focus; FALSE when the dialog has set it.
    virtual INT_PTR OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    HWND GetHwnd() const { return hWnd; }
    UINT GetTemplateId() const { return nTemplateId; }
    HWND GetItem(int nId) const { return GetDlgItem(hWnd, nId); }
    bool SetItemText(int nId, const char* pszText) { return SetDlgItemTextA(hWnd, nId, pszText) != FALSE; }
    bool EnableItem(int nId, bool bEnable) { return EnableWindow(GetDlgItem(hWnd, nId), bEnable) != FALSE; }
    bool IsItemChecked(int nId) const { return IsDlgButtonChecked(hWnd, nId) == BST_CHECKED; }
    void CheckItem(int nId, bool bCheck) { CheckDlgButton(hWnd, nId, bCheck ? BST_CHECKED : BST_UNCHECKED); }
    void FocusItem(int nId) { SetFocus(GetDlgItem(hWnd, nId)); }
    // Sets the result the dialog procedure's caller sees for the current message (notifications).
    void SetMsgResult(LONG_PTR nResult) { SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, nResult); }
    // A message box owned by the dialog.
    int ShowMessage(const char* pszText, const char* pszCaption, UINT nType)
    {
        return MessageBoxA(hWnd, pszText, pszCaption, nType);
    }

protected:
    friend INT_PTR CALLBACK DlgProc(HWND, UINT, WPARAM, LPARAM);
    HWND hWnd;
    UINT nTemplateId;
    // What the dialog procedure receives at WM_INITDIALOG: lParam holds this object. A property
    // page fills the rest of it for the sheet.
    SPageDesc psp;

private:
    CDlg(const CDlg&) = delete;
    CDlg& operator=(const CDlg&) = delete;
};

// A dialog run by DoModal; OK ends it with 1, Cancel with 2.
class CModalDlg : public CDlg
{
public:
    CModalDlg(UINT nTemplateId, HWND hParent);
    void OnOK() override;
    void OnCancel() override;
    // Runs the dialog; the value given to EndDialog (-1 when the dialog could not be created).
    INT_PTR DoModal();
    bool EndDialog(INT_PTR nResult) { return ::EndDialog(hWnd, nResult) != FALSE; }

protected:
    HWND hParent;
};

// A dialog created by Create and shown by its caller; its owner destroys the window.
class CModelessDlg : public CDlg
{
public:
    explicit CModelessDlg(UINT nTemplateId) : CDlg(nTemplateId) {}
    bool Create(HWND hParent);
};

// One page of a property sheet. The sheet copies GetPageDesc() of each page into an array of
// SPageDesc and hands that to PropertySheetA with PSH_PROPSHEETPAGE.
class CPropPage : public CModelessDlg
{
public:
    CPropPage(const char* pszTitle, UINT nTemplateId);
    INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    // Copies the controls into the live settings; false keeps the sheet open.
    virtual bool OnApply();
    // Validates the controls when the page is left; false keeps the page.
    virtual bool OnKillActive();
    const SPageDesc& GetPageDesc() const { return psp; }
};

// Centres the dialog over its owner (when visible and not minimised) or on the work area of its
// monitor, and keeps it inside that monitor's work area.
void CenterWindowOnMonitor(HWND hDlg);
// Where CenterWindowOnMonitor puts a window of the given size: the centre of rcRef, clamped to
// rcWork on each axis.
POINT CenterPosition(const RECT& rcRef, const RECT& rcWork, int nWidth, int nHeight);

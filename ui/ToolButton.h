// ToolButton.h: CToolButton, a small owner-drawn push button with an icon and a tool tip, and
// CToolButtonBar, a row of them at the right end of a header label.
//
// The button never takes the focus (a click must leave the focus where it was in the dialog)
// and sends WM_COMMAND with its control id when the left button is released over it after it
// was pressed there.
#pragma once

#include <windows.h>
#include <commctrl.h>

class CToolTip
{
public:
    CToolTip() : hWnd(nullptr) {}
    // Creates the tool-tip window owned by the button, with one tool covering the button's
    // client rectangle whose text is the string resource nStringId.
    bool Create(HWND hButton, UINT nStringId);
    // Passes a mouse message of the button on, so that the tip appears and hides.
    void RelayEvent(HWND hButton, UINT nMsg, WPARAM wParam, LPARAM lParam);
    HWND GetHwnd() const { return hWnd; }

private:
    HWND hWnd;
};

class CToolButton
{
public:
    CToolButton();
    ~CToolButton();

    // Creates the button as a visible child of hParent with the control id nId.
    bool Create(HWND hParent, UINT nId, const RECT& rc);
    void SetIcon(HICON hIcon, int nWidth, int nHeight, bool bOwns);
    bool AddToolTip(UINT nStringId);
    // The window that receives the button's command; null means the parent.
    void SetNotifyWindow(HWND hNotify) { hNotifyWnd = hNotify; }
    HWND GetHwnd() const { return hWnd; }
    bool IsPressed() const { return bPressed; }

private:
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam);
    void Paint();
    void Redraw(bool bNow);
    void ReleaseMouse();

    HICON hIcon;
    int nIconWidth;
    int nIconHeight;
    bool bOwnsIcon;
    bool bHasToolTip;
    bool bHotTracking;
    HWND hNotifyWnd;
    HWND hWnd;
    bool bHot;
    bool bPressed;
    bool bReleasing;
    CToolTip toolTip;

    CToolButton(const CToolButton&) = delete;
    CToolButton& operator=(const CToolButton&) = delete;
};

class CToolButtonBar
{
public:
    // pStringIds and pCommandIds: nCount tool-tip strings and command (control) ids, left to right.
    CToolButtonBar(const UINT* pStringIds, const UINT* pCommandIds, int nCount, UINT nBitmapId);
    ~CToolButtonBar();
    // Puts the buttons inside the right end of the header and sends their commands to the
    // header's parent.
    bool Attach(HWND hHeader);
    CToolButton* GetButton(int i) { return &pButtons[i]; }

private:
    static LRESULT CALLBACK HeaderProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);

    HWND hHeader;
    WNDPROC pfnPrevProc;
    CToolButton* pButtons;
    HIMAGELIST hImageList;
    const UINT* pStringIds;
    const UINT* pCommandIds;
    int nCount;
    UINT nBitmapId;

    CToolButtonBar(const CToolButtonBar&) = delete;
    CToolButtonBar& operator=(const CToolButtonBar&) = delete;
};

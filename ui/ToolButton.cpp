// ToolButton.cpp: the tool button's window class, its press state machine and painting, its
// tool tip, and the bar that puts three of them into a header label.
#include "ui/ToolButton.h"

#include "ui/Dlg.h"

namespace
{
const char szToolButtonClass[] = "TOOLBUTTON";
const int nButtonWidth = 22;

// The tool description in its 40-byte form: the tool-tip control of every comctl32 version
// takes it, and the text is loaded by the control from the string resource.
struct STool40
{
    UINT cbSize;
    UINT uFlags;
    HWND hwnd;
    UINT_PTR uId;
    RECT rect;
    HINSTANCE hinst;
    LPSTR lpszText;
};
static_assert(sizeof(STool40) == 40 || sizeof(void*) != 4, "the 40-byte tool description");

bool RegisterToolButtonClass(WNDPROC pfnProc)
{
    static bool bRegistered = false;
    if (bRegistered)
        return true;
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = pfnProc;
    wc.hInstance = g_hInstance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = szToolButtonClass;
    bRegistered = RegisterClassA(&wc) != 0;
    return bRegistered;
}

// A one-pixel frame, top and left in one colour and right and bottom in the other; the
// rectangle then shrinks by one pixel on every side.
void Draw3dFrame(HDC hdc, RECT& rc, int nTopLeft, int nBottomRight)
{
    HBRUSH hTopLeft = GetSysColorBrush(nTopLeft);
    HBRUSH hBottomRight = GetSysColorBrush(nBottomRight);
    RECT r;
    SetRect(&r, rc.left, rc.top, rc.right - 1, rc.top + 1);
    FillRect(hdc, &r, hTopLeft);
    SetRect(&r, rc.left, rc.top, rc.left + 1, rc.bottom - 1);
    FillRect(hdc, &r, hTopLeft);
    SetRect(&r, rc.right - 1, rc.top, rc.right, rc.bottom);
    FillRect(hdc, &r, hBottomRight);
    SetRect(&r, rc.left, rc.bottom - 1, rc.right, rc.bottom);
    FillRect(hdc, &r, hBottomRight);
    InflateRect(&rc, -1, -1);
}
} // namespace

// ---------------------------------------------------------------------------------------------
bool CToolTip::Create(HWND hButton, UINT nStringId)
{
    hWnd = CreateWindowExA(0, "tooltips_class32", nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hButton, nullptr, g_hInstance, nullptr);
    if (!hWnd)
        return false;
    STool40 ti = {};
    ti.cbSize = sizeof(ti);
    ti.hwnd = hButton;
    ti.uId = 1;
    GetClientRect(hButton, &ti.rect);
    ti.hinst = g_hInstance;
    ti.lpszText = MAKEINTRESOURCEA(nStringId);
    return SendMessageA(hWnd, TTM_ADDTOOLA, 0, (LPARAM)&ti) != 0;
}

void CToolTip::RelayEvent(HWND hButton, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    MSG msg = {};
    msg.hwnd = hButton;
    msg.message = nMsg;
    msg.wParam = wParam;
    msg.lParam = lParam;
    SendMessageA(hWnd, TTM_RELAYEVENT, 0, (LPARAM)&msg);
}

// ---------------------------------------------------------------------------------------------
CToolButton::CToolButton()
    : hIcon(nullptr), nIconWidth(16), nIconHeight(16), bOwnsIcon(false), bHasToolTip(false),
      bHotTracking(false), hNotifyWnd(nullptr), hWnd(nullptr), bHot(false), bPressed(false), bReleasing(false)
{
}

CToolButton::~CToolButton()
{
    // Destroying the button destroys its tool tip, which it owns.
    if (hWnd)
        DestroyWindow(hWnd);
    if (hIcon && bOwnsIcon)
        DestroyIcon(hIcon);
}

bool CToolButton::Create(HWND hParent, UINT nId, const RECT& rc)
{
    if (!RegisterToolButtonClass(WndProc))
        return false;
    return CreateWindowExA(0, szToolButtonClass, "", WS_CHILD | WS_VISIBLE, rc.left, rc.top, rc.right - rc.left,
                           rc.bottom - rc.top, hParent, (HMENU)(UINT_PTR)nId, g_hInstance, this) != nullptr;
}

void CToolButton::SetIcon(HICON hNewIcon, int nWidth, int nHeight, bool bOwns)
{
    if (hIcon && bOwnsIcon && hIcon != hNewIcon)
        DestroyIcon(hIcon);
    hIcon = hNewIcon;
    nIconWidth = nWidth;
    nIconHeight = nHeight;
    bOwnsIcon = bOwns;
    if (hWnd)
        InvalidateRect(hWnd, nullptr, FALSE);
}

bool CToolButton::AddToolTip(UINT nStringId)
{
    bHasToolTip = toolTip.Create(hWnd, nStringId);
    return bHasToolTip;
}

void CToolButton::Redraw(bool bNow)
{
    InvalidateRect(hWnd, nullptr, FALSE);
    if (bNow)
        UpdateWindow(hWnd);
}

void CToolButton::ReleaseMouse()
{
    if (GetCapture() != hWnd)
        return;
    // WM_CAPTURECHANGED arrives inside ReleaseCapture; it must not be taken for a lost capture.
    bReleasing = true;
    ReleaseCapture();
    bReleasing = false;
}

LRESULT CALLBACK CToolButton::WndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_NCCREATE)
    {
        CToolButton* pButton = (CToolButton*)((const CREATESTRUCTA*)lParam)->lpCreateParams;
        pButton->hWnd = hWnd;
        MapWindow(hWnd, pButton);
        return DefWindowProcA(hWnd, nMsg, wParam, lParam);
    }
    CToolButton* pButton = (CToolButton*)LookupWindow(hWnd);
    if (!pButton)
        return DefWindowProcA(hWnd, nMsg, wParam, lParam);
    return pButton->OnMessage(nMsg, wParam, lParam);
}

LRESULT CToolButton::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg >= WM_MOUSEFIRST && nMsg <= WM_MBUTTONDBLCLK && bHasToolTip)
        toolTip.RelayEvent(hWnd, nMsg, wParam, lParam);

    switch (nMsg)
    {
    case WM_NCDESTROY:
        UnmapWindow(hWnd);
        hWnd = nullptr;
        return 0;
    case WM_LBUTTONDOWN:
        if (!bPressed)
        {
            bPressed = true;
            bHot = false;
            Redraw(true);
            if (GetCapture() != hWnd)
                SetCapture(hWnd);
        }
        return 0;
    case WM_MOUSEMOVE:
    {
        RECT rc;
        GetClientRect(hWnd, &rc);
        POINT pt = {(short)LOWORD(lParam), (short)HIWORD(lParam)};
        bool bInside = PtInRect(&rc, pt) != FALSE;
        if (bPressed)
        {
            // Leaving ends the press for good: coming back does not press the button again.
            if (!bInside)
            {
                ReleaseMouse();
                bPressed = false;
                Redraw(false);
            }
        }
        else if (bHotTracking)
        {
            if (bInside && !bHot)
            {
                bHot = true;
                Redraw(false);
                SetCapture(hWnd);
            }
            else if (!bInside && bHot)
            {
                ReleaseMouse();
                bHot = false;
                Redraw(false);
            }
        }
        return 0;
    }
    case WM_LBUTTONUP:
        if (bPressed)
        {
            ReleaseMouse();
            bPressed = false;
            Redraw(false);
            HWND hTarget = hNotifyWnd ? hNotifyWnd : GetParent(hWnd);
            SendMessageA(hTarget, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hWnd), 0), 0);
        }
        return 0;
    case WM_CAPTURECHANGED:
        if (!bReleasing)
        {
            bHot = false;
            bPressed = false;
            Redraw(false);
        }
        return 0;
    case WM_ENABLE:
        bPressed = false;
        InvalidateRect(hWnd, nullptr, TRUE);
        return 0;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_MOUSEACTIVATE:
        // A click on the button never takes the focus from the dialog.
        return MA_NOACTIVATE;
    default:
        return DefWindowProcA(hWnd, nMsg, wParam, lParam);
    }
}

void CToolButton::Paint()
{
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(hWnd, &ps);
    RECT rc;
    GetClientRect(hWnd, &rc);
    SetBkMode(hdc, TRANSPARENT);

    if (!bHotTracking)
    {
        if (bPressed)
        {
            Draw3dFrame(hdc, rc, COLOR_3DDKSHADOW, COLOR_BTNHIGHLIGHT);
            Draw3dFrame(hdc, rc, COLOR_BTNSHADOW, COLOR_3DLIGHT);
        }
        else
        {
            Draw3dFrame(hdc, rc, COLOR_BTNHIGHLIGHT, COLOR_3DDKSHADOW);
            Draw3dFrame(hdc, rc, COLOR_3DLIGHT, COLOR_BTNSHADOW);
        }
    }
    else if (bPressed)
        Draw3dFrame(hdc, rc, COLOR_BTNSHADOW, COLOR_BTNHIGHLIGHT);
    else if (bHot)
        Draw3dFrame(hdc, rc, COLOR_BTNHIGHLIGHT, COLOR_BTNSHADOW);
    else
        Draw3dFrame(hdc, rc, COLOR_BTNFACE, COLOR_BTNFACE);

    FillRect(hdc, &rc, GetSysColorBrush(COLOR_BTNFACE));

    if (hIcon)
    {
        int x = rc.left + (rc.right - rc.left - nIconWidth) / 2;
        int y = rc.top + (rc.bottom - rc.top - nIconHeight) / 2;
        if (bPressed)
        {
            ++x;
            ++y;
        }
        UINT nFlags = DST_ICON | (IsWindowEnabled(hWnd) ? DSS_NORMAL : DSS_DISABLED);
        DrawStateA(hdc, nullptr, nullptr, (LPARAM)hIcon, 0, x, y, nIconWidth, nIconHeight, nFlags);
    }
    EndPaint(hWnd, &ps);
}

// ---------------------------------------------------------------------------------------------
CToolButtonBar::CToolButtonBar(const UINT* pStrings, const UINT* pCommands, int nButtons, UINT nBitmap)
    : hHeader(nullptr), pfnPrevProc(nullptr), pButtons(new CToolButton[nButtons]), hImageList(nullptr),
      pStringIds(pStrings), pCommandIds(pCommands), nCount(nButtons), nBitmapId(nBitmap)
{
    hImageList = ImageList_LoadImageA(g_hInstance, MAKEINTRESOURCEA(nBitmap), 16, 1, RGB(255, 0, 255),
                                      IMAGE_BITMAP, LR_CREATEDIBSECTION);
}

CToolButtonBar::~CToolButtonBar()
{
    delete[] pButtons;
    if (hImageList)
        ImageList_Destroy(hImageList);
}

bool CToolButtonBar::Attach(HWND hHeaderWnd)
{
    hHeader = hHeaderWnd;
    MapWindow(hHeader, this);
    pfnPrevProc = (WNDPROC)SetWindowLongPtrA(hHeader, GWLP_WNDPROC, (LONG_PTR)HeaderProc);

    // The header's window rectangle in its client coordinates: the buttons sit inside its frame.
    RECT rc;
    GetWindowRect(hHeader, &rc);
    MapWindowPoints(nullptr, hHeader, (POINT*)&rc, 2);
    rc.top += 1;
    rc.bottom -= 1;
    rc.right -= 1;
    rc.left = rc.right - nButtonWidth;

    for (int i = nCount - 1; i >= 0; --i)
    {
        if (!pButtons[i].Create(hHeader, pCommandIds[i], rc))
            return false;
        pButtons[i].SetIcon(ImageList_GetIcon(hImageList, i, ILD_NORMAL), 16, 16, true);
        pButtons[i].AddToolTip(pStringIds[i]);
        pButtons[i].SetNotifyWindow(GetParent(hHeader));
        OffsetRect(&rc, -nButtonWidth, 0);
    }
    return true;
}

LRESULT CALLBACK CToolButtonBar::HeaderProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    CToolButtonBar* pBar = (CToolButtonBar*)LookupWindow(hWnd);
    if (!pBar)
        return DefWindowProcA(hWnd, nMsg, wParam, lParam);
    WNDPROC pfnPrev = pBar->pfnPrevProc;
    if (nMsg == WM_ENABLE)
        InvalidateRect(hWnd, nullptr, TRUE);
    else if (nMsg == WM_NCDESTROY)
    {
        SetWindowLongPtrA(hWnd, GWLP_WNDPROC, (LONG_PTR)pfnPrev);
        UnmapWindow(hWnd);
    }
    return CallWindowProcA(pfnPrev, hWnd, nMsg, wParam, lParam);
}

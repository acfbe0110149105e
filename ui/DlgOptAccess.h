// DlgOptAccess.h: CDlgOptAccess, the Access Restrictions page of the Options sheet: the allowed
// client address ranges and the SOCKS5 user name and password.
//
// The list works on copies of the live ranges: each line carries a heap copy of its range as item
// data, and the list frees them when the page is destroyed. Applying hands the list's ranges to
// ReplaceIpRanges, which swaps them in safely while the server runs; Cancel leaves the live ranges
// as they were.
#pragma once

#include "config/Settings.h"
#include "ui/Dlg.h"
#include "ui/ToolButton.h"

class CDlgOptAccess : public CPropPage
{
public:
    CDlgOptAccess();

    INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    INT_PTR OnInitDialog() override;
    bool OnKillActive() override;
    bool OnApply() override;

private:
    void UpdateEnabling();
    // Adds a line for the record (which the list then owns) and returns its index.
    int AddLine(IP_RANGE2* pRange);
    IP_RANGE2* GetLineRange(int nIndex) const;
    void AddRange();
    void RemoveRange();
    void ModifyRange();
    void FreeLineRanges();

    CToolButtonBar toolBar;
    bool listChanged;
    bool listOwnsRecords;
};

// DlgIpRange.h: CDlgIpRange, the dialog that asks for one allowed address range.
#pragma once

#include "config/Settings.h"
#include "foundation/CharArray.h"
#include "ui/Dlg.h"

class CDlgIpRange : public CModalDlg
{
public:
    enum
    {
        modeAdd = 0,
        modeModify = 1,
    };

    // DoModal stores the entered range into *pRange and returns 1, or returns 2 and leaves it.
    CDlgIpRange(IP_RANGE2* pRange, int nMode, HWND hParent);

    INT_PTR OnInitDialog() override;
    void OnOK() override;

private:
    IP_RANGE2* pRange;
    int nMode;
};

// The list text of a range: "10.0.0.1", or "10.0.0.1 - 10.0.0.9" when first and last differ.
void GetRangeText(const IP_RANGE2& range, CCArray& strText);

// DlgOptGeneral.h: CDlgOptGeneral, the General page of the Options sheet: logon start, service
// address and port, SOCKS versions, connection limit and logging.
#pragma once

#include "ui/Dlg.h"

class CDlgOptGeneral : public CPropPage
{
public:
    CDlgOptGeneral();

    INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override;
    INT_PTR OnInitDialog() override;
    bool OnKillActive() override;
    bool OnApply() override;

    // The address list's first line, standing for every local address.
    static const char szAnyAddress[];

private:
    void UpdateEnabling();
    // A validation failure: the message box, then the focus on the control; false.
    bool Refuse(int nId, const char* pszText, UINT nIcon);
};

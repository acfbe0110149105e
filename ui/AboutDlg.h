// AboutDlg.h: CAboutDlg, the About box: the program's name, icon and version.
#pragma once

#include "ui/Dlg.h"

class CAboutDlg : public CModalDlg
{
public:
    explicit CAboutDlg(HWND hParent);
    INT_PTR OnInitDialog() override;
};

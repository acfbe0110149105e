// DlgStartup.h: CDlgStartup, the small progress window shown while the server starts or stops.
//
// It has no buttons and no system menu: the user can't close it, the shell destroys it when the
// flow ends.
#pragma once

#include "ui/Dlg.h"

class CDlgStartup : public CModelessDlg
{
public:
    explicit CDlgStartup(const char* pszMessage);
    // Destroys the window when it exists.
    ~CDlgStartup() override;
    INT_PTR OnInitDialog() override;
    // Creates, shows and paints the window at once: the caller doesn't return to the message
    // loop until its flow ends.
    bool Show(HWND hParent);

private:
    const char* pszText;
};

// UiEnvironment.cpp: what the program's start-up gives its windows, for the tests: the instance
// their templates are loaded from and the common controls they use.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "ui/Dlg.h"

namespace
{
class CUiEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        g_hInstance = GetModuleHandleA(nullptr);
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_UPDOWN_CLASS | ICC_INTERNET_CLASSES | ICC_BAR_CLASSES};
        InitCommonControlsEx(&icc);
    }
};

::testing::Environment* const g_pUiEnvironment = ::testing::AddGlobalTestEnvironment(new CUiEnvironment);
} // namespace

// ManifestTest.cpp: the application manifest that Tollgate.exe carries.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "tests/support/win32/GuiDriver.h"

namespace
{
// The manifest resource (type 24, id 1) of the program file, or "" when it has none.
std::string ManifestOf(const std::string& strExe)
{
    HMODULE hModule = LoadLibraryExA(strExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!hModule)
        return std::string();
    std::string strText;
    HRSRC hInfo = FindResourceA(hModule, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL hData = hInfo ? LoadResource(hModule, hInfo) : nullptr;
    if (hData)
        strText.assign((const char*)LockResource(hData), SizeofResource(hModule, hInfo));
    FreeLibrary(hModule);
    return strText;
}

TEST(Manifest, ProgramAsksForCommonControls6DpiAwarenessItsSystemsAndNoElevation)
{
    std::string strText = ManifestOf(gui::WindowsPath(TOLLGATE_EXE));
    ASSERT_FALSE(strText.empty());
    EXPECT_NE(std::string::npos, strText.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_NE(std::string::npos, strText.find("publicKeyToken=\"6595b64144ccf1df\""));
    EXPECT_NE(std::string::npos, strText.find(">true</dpiAware>"));
    for (const char* pszId : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                              "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(std::string::npos, strText.find(std::string("<supportedOS Id=\"") + pszId + "\"/>")) << pszId;
    EXPECT_NE(std::string::npos, strText.find("<requestedExecutionLevel level=\"asInvoker\""));
}

} // namespace

// TestFolder.h: a fresh folder under the system's temporary folder for one test, removed with
// everything in it when the test ends.
#pragma once

#include <filesystem>
#include <random>
#include <string>

#include "platform/Platform.h"

class CTestFolder
{
public:
    CTestFolder()
    {
        char szTemp[1024];
        size_t n = SysTempFolder(szTemp, sizeof(szTemp));
        std::string strBase(szTemp, n);
        std::random_device rd;
        for (int i = 0;; i++)
        {
            std::string strTry =
                strBase + "tgtest-" + std::to_string(rd() % 100000000u) + "-" + std::to_string(i);
            if (SysCreateDirectory(strTry.c_str()))
            {
                strPath = strTry;
                break;
            }
        }
    }
    ~CTestFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(strPath), ec);
    }

    // The folder, without a trailing separator.
    const std::string& Path() const { return strPath; }
    // A path inside the folder.
    std::string Join(const std::string& strName) const { return strPath + PATH_SEPARATOR + strName; }

private:
    std::string strPath;
};

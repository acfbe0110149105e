// StoreFixturePosix.cpp: the test store as a file in a scratch folder, seeded by hand-written text.
#include "tests/config/StoreFixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "config/Paths.h"
#include "config/RegText.h"
#include "config/SettingsStore.h"

namespace
{
const char szKey[] = "HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate";

std::string ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string HexList(const Bytes& data)
{
    std::string s;
    char sz[4];
    for (size_t i = 0; i < data.size(); i++)
    {
        snprintf(sz, sizeof(sz), i == 0 ? "%02X" : ",%02X", data[i]);
        s += sz;
    }
    return s;
}

bool IsCleanString(const Bytes& data)
{
    if (data.empty() || data.back() != 0)
        return false;
    for (size_t i = 0; i + 1 < data.size(); i++)
    {
        if (data[i] == 0 || data[i] == '\n' || data[i] == '\r')
            return false;
    }
    return true;
}
} // namespace

void StoreTest::SetUp()
{
    const char* pszTmp = getenv("TMPDIR");
    std::string strTemplate = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/tgcfg-XXXXXX";
    ASSERT_NE(mkdtemp(&strTemplate[0]), nullptr);
    strScratch = strTemplate + "/";
    strStore = strScratch + "tollgate.reg";
    SetSettingsStorePath(strStore.c_str());
    g_paths.strDataFolder = (strScratch + "data/").c_str();
}

void StoreTest::TearDown()
{
    SetSettingsStorePath(nullptr);
    g_paths.strDataFolder = "";
    std::error_code ec;
    std::filesystem::permissions(strScratch, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(strScratch, ec);
}

void StoreTest::SeedValue(const char* pszName, uint32_t nType, const Bytes& data)
{
    // What the file holds so far (read with the store's parser), plus the new value, written out
    // again by hand: LF line ends, upper-case hex, hex(n) for every type but strings and binaries.
    std::vector<std::pair<std::string, std::pair<uint32_t, Bytes>>> values;
    std::string strOld = ReadFile(strStore);
    CRegText text;
    CCArray strError;
    if (!strOld.empty() && text.Parse(strOld.data(), strOld.size(), strError))
    {
        if (SRegKeyText* pKey = text.FindKey(szKey, false))
        {
            for (int i = 0; i < pKey->arrValues.GetSize(); i++)
            {
                const SRegValue* p = pKey->arrValues.pData[i];
                if (strcasecmp(p->strName.GetString(), pszName) != 0)
                    values.push_back({p->strName.GetString(),
                                      {p->nType, Bytes(p->data.pData, p->data.pData + p->data.GetSize())}});
            }
        }
    }
    values.push_back({pszName, {nType, data}});

    std::string s = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\n";
    for (auto& v : values)
    {
        s += "\"" + v.first + "\"=";
        const Bytes& b = v.second.second;
        if (v.second.first == 1 && IsCleanString(b))
        {
            s += "\"";
            for (size_t i = 0; i + 1 < b.size(); i++)
            {
                if (b[i] == '\\' || b[i] == '"')
                    s += '\\';
                s += (char)b[i];
            }
            s += "\"\n";
        }
        else if (v.second.first == 3)
            s += "hex:" + HexList(b) + "\n";
        else
        {
            char szType[16];
            snprintf(szType, sizeof(szType), "hex(%x):", (unsigned)v.second.first);
            s += szType + HexList(b) + "\n";
        }
    }
    std::ofstream out(strStore, std::ios::binary | std::ios::trunc);
    out << s;
    ASSERT_TRUE(out.good());
}

bool StoreTest::ReadRawValue(const char* pszName, uint32_t* pnType, Bytes& data)
{
    std::string strText = ReadFile(strStore);
    CRegText text;
    CCArray strError;
    if (!text.Parse(strText.data(), strText.size(), strError))
        return false;
    SRegKeyText* pKey = text.FindKey(szKey, false);
    SRegValue* pValue = pKey ? pKey->FindValue(pszName) : nullptr;
    if (pValue == nullptr)
        return false;
    *pnType = pValue->nType;
    data.assign(pValue->data.pData, pValue->data.pData + pValue->data.GetSize());
    return true;
}

bool StoreTest::StoreExists()
{
    return std::filesystem::exists(strStore);
}

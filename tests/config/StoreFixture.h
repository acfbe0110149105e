// StoreFixture.h: a private settings store for one test, and raw access to its values.
//
// The Windows implementation points the store at a key of its own under HKEY_CURRENT_USER and
// seeds and reads values with RegSetValueExA / RegQueryValueExA directly; the POSIX one points it
// at a file in a scratch folder and seeds values by writing the REGEDIT4 text by hand. Either way
// the values reach the store the way an outside writer would put them there, not through the
// store's own writing code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

typedef std::vector<unsigned char> Bytes;

class StoreTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Sets one value of the store (the key is created if needed).
    void SeedValue(const char* pszName, uint32_t nType, const Bytes& data);
    void SeedBinary(const char* pszName, const Bytes& data) { SeedValue(pszName, 3, data); }
    void SeedInt(const char* pszName, int32_t nValue);
    // A REG_SZ holding exactly these bytes (add the terminator yourself when it should have one).
    void SeedString(const char* pszName, const std::string& bytes);
    // False when the value is absent.
    bool ReadRawValue(const char* pszName, uint32_t* pnType, Bytes& data);
    // True when the store holds the settings key (Windows: the key exists; POSIX: the file does).
    bool StoreExists();

    // A scratch folder of this test, ending in the path separator; removed at the end.
    std::string strScratch;
    // The store location handed to SetSettingsStorePath.
    std::string strStore;
};

// Bytes of a little-endian 32-bit integer.
Bytes Le32(uint32_t n);

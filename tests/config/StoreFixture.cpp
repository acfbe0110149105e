// StoreFixture.cpp: the parts of the test store common to both targets.
#include "tests/config/StoreFixture.h"

Bytes Le32(uint32_t n)
{
    return Bytes{(unsigned char)n, (unsigned char)(n >> 8), (unsigned char)(n >> 16),
                 (unsigned char)(n >> 24)};
}

void StoreTest::SeedInt(const char* pszName, int32_t nValue)
{
    SeedBinary(pszName, Le32((uint32_t)nValue));
}

void StoreTest::SeedString(const char* pszName, const std::string& bytes)
{
    SeedValue(pszName, 1, Bytes(bytes.begin(), bytes.end()));
}

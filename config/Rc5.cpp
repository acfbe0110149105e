// Rc5.cpp: RC5-32/16/8 as published by its author (key expansion with the constants P32 and Q32,
// data-dependent rotations), in electronic codebook mode.
#include "config/Rc5.h"

#include <cstddef>
#include <cstdint>

const char g_szPasswordKey[] = "pemvarox";

namespace
{
enum
{
    ROUNDS = 16,
    KEY_BYTES = 8,
    KEY_WORDS = KEY_BYTES / 4,
    TABLE_WORDS = 2 * ROUNDS + 2, // 34
};

const uint32_t P32 = 0xB7E15163;
const uint32_t Q32 = 0x9E3779B9;

inline uint32_t RotateLeft(uint32_t x, uint32_t n)
{
    n &= 31;
    return n == 0 ? x : (x << n) | (x >> (32 - n));
}

inline uint32_t RotateRight(uint32_t x, uint32_t n)
{
    n &= 31;
    return n == 0 ? x : (x >> n) | (x << (32 - n));
}

inline uint32_t LoadWord(const unsigned char* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline void StoreWord(unsigned char* p, uint32_t x)
{
    p[0] = (unsigned char)x;
    p[1] = (unsigned char)(x >> 8);
    p[2] = (unsigned char)(x >> 16);
    p[3] = (unsigned char)(x >> 24);
}

// Overwrites key material with zeros. The stores go through a volatile pointer, so the compiler
// cannot drop them as dead stores to memory that is about to go out of scope.
void WipeWords(uint32_t* p, size_t nCount)
{
    volatile uint32_t* pv = p;
    for (size_t i = 0; i < nCount; i++)
        pv[i] = 0;
}

// The expanded key table of one call; wiped when the call leaves, whichever way it leaves.
class CExpandedKey
{
public:
    explicit CExpandedKey(const char* pszKey)
    {
        uint32_t L[KEY_WORDS] = {0, 0};
        const unsigned char* pKey = (const unsigned char*)pszKey;
        for (int i = KEY_BYTES - 1; i >= 0; i--)
            L[i / 4] = (L[i / 4] << 8) + pKey[i];

        S[0] = P32;
        for (int i = 1; i < TABLE_WORDS; i++)
            S[i] = S[i - 1] + Q32;

        uint32_t A = 0, B = 0;
        int i = 0, j = 0;
        for (int k = 0; k < 3 * TABLE_WORDS; k++)
        {
            A = S[i] = RotateLeft(S[i] + A + B, 3);
            B = L[j] = RotateLeft(L[j] + A + B, A + B);
            i = (i + 1) % TABLE_WORDS;
            j = (j + 1) % KEY_WORDS;
        }
        WipeWords(L, KEY_WORDS);
    }

    ~CExpandedKey() { WipeWords(S, TABLE_WORDS); }

    uint32_t S[TABLE_WORDS];

private:
    CExpandedKey(const CExpandedKey&) = delete;
    CExpandedKey& operator=(const CExpandedKey&) = delete;
};
} // namespace

void EncipherBlocks(const char* pszKey, void* pBuffer, int nBlocks)
{
    if (nBlocks <= 0)
        return;
    CExpandedKey key(pszKey);
    const uint32_t* S = key.S;
    unsigned char* p = (unsigned char*)pBuffer;
    for (int n = 0; n < nBlocks; n++, p += 8)
    {
        uint32_t A = LoadWord(p) + S[0];
        uint32_t B = LoadWord(p + 4) + S[1];
        for (int k = 1; k <= ROUNDS; k++)
        {
            A = RotateLeft(A ^ B, B) + S[2 * k];
            B = RotateLeft(B ^ A, A) + S[2 * k + 1];
        }
        StoreWord(p, A);
        StoreWord(p + 4, B);
    }
}

void DecipherBlocks(const char* pszKey, void* pBuffer, int nBlocks)
{
    if (nBlocks <= 0)
        return;
    CExpandedKey key(pszKey);
    const uint32_t* S = key.S;
    unsigned char* p = (unsigned char*)pBuffer;
    for (int n = 0; n < nBlocks; n++, p += 8)
    {
        uint32_t A = LoadWord(p);
        uint32_t B = LoadWord(p + 4);
        for (int k = ROUNDS; k >= 1; k--)
        {
            B = RotateRight(B - S[2 * k + 1], A) ^ A;
            A = RotateRight(A - S[2 * k], B) ^ B;
        }
        StoreWord(p, A - S[0]);
        StoreWord(p + 4, B - S[1]);
    }
}

// Rc5.h: the RC5 block cipher (32-bit words, 16 rounds, 8-byte key) that keeps the stored SOCKS5
// password from lying in the settings as plain text.
//
// Plain electronic codebook over consecutive 8-byte blocks, in place: no padding, no chaining, no
// integrity check. It hides the password from a casual look at the settings; it is no protection
// against anyone who can read this program. Each call expands the key afresh and wipes the
// expanded key before it returns, so calls keep no state and may run on several threads at once.
#pragma once

// The fixed key of the stored password: exactly 8 bytes, no terminator used.
extern const char g_szPasswordKey[];

// Enciphers nBlocks consecutive 8-byte blocks of pBuffer in place under the first 8 bytes of
// pszKey. Bytes after the last whole block are neither read nor written; nBlocks <= 0 does nothing.
// Within a block, bytes 0 to 3 are the word A and bytes 4 to 7 the word B, each little-endian.
void EncipherBlocks(const char* pszKey, void* pBuffer, int nBlocks);
// The inverse of EncipherBlocks.
void DecipherBlocks(const char* pszKey, void* pBuffer, int nBlocks);

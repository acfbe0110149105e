// PasswordGuard.h: the bound on SOCKS5 password guessing.
//
// Without it a client tries passwords as fast as the loopback carries them (thousands a second
// on one connection, more in parallel). An address whose password checks fail
// PASSWORD_GUESS_LIMIT times within PASSWORD_GUESS_WINDOW_SECONDS is refused for
// PASSWORD_BLOCK_SECONDS from that last failure: the listener turns its new connections away
// (a "Block" line of the session log), and a session of it already past the listener fails its
// check whatever it sends. The failed session itself is answered as any wrong password is.
#pragma once

#include <cstdint>

const int PASSWORD_GUESS_LIMIT = 10;
const int PASSWORD_GUESS_WINDOW_SECONDS = 60;
const int PASSWORD_BLOCK_SECONDS = 60;

// Counts one failed password check of the client address (network order).
void RecordFailedPasswordCheck(uint32_t addrNetOrder);
// True while the address is refused for guessing.
bool IsBlockedForGuessing(uint32_t addrNetOrder);
// Forgets every address: each start of the server begins with a clean slate.
void ForgetPasswordFailures();

// AccessRules.h: the checks that decide who may use the proxy.
//
// Every check reads the live settings (g_settings, nConnectionLimit) at the moment it is made, so
// a change on the Options sheet applies to the next client without a restart.
//
// The allowed ranges are g_settings.arrIpRanges itself, the stored list. It is replaced as a whole
// by ReplaceIpRanges, never edited in place while the server may run. The replacement takes the IP
// ranges gate down, so that new checks wait at the gate, and then swaps the list under a lock that
// every check holds for its whole walk: a check that passed the gate just before it went down
// finishes its walk first, and no check ever sees a half-built or freed list. Checks only hold
// the lock while walking; they never wait on the gate while holding it.
#pragma once

#include <cstdint>

#include "config/Settings.h"
#include "engine/SessionSockets.h"
#include "platform/Platform.h"

// The IP ranges gate: a manual-reset event, signalled whenever the range list may be read. It is
// created signalled on first use; the shell calls it once at start-up so that it exists before
// the server does.
CManualEvent& IpRangesGate();

// Admission check 1: true when the client address (network order) may connect. With the IP
// filter on, waits at the gate, then looks for a range with first <= address <= last.
bool IsAddressAllowed(uint32_t addrNetOrder);

// Admission check 2: true when the table already holds nConnectionLimit sessions or more (the new
// client is not yet in it).
bool IsConnectionLimitReached();

// True when SOCKS version 4 or 5 is switched on; any other version byte throws the error code of
// condition 16 ("Socks negotiate error").
bool IsVersionAllowed(int nVersion);

// The SOCKS5 method to answer: 0x02 when authentication is required, else 0x00, provided the
// client offered it; otherwise 0xFF.
unsigned char ChooseMethod(const unsigned char* pMethods, int nCount);

// SOCKS5 user name and password check: 0 accepted, 1 refused. Both are counted texts, as the
// sub-negotiation sends them: a zero byte inside one is part of it, so "alice\0x" is not "alice".
// An empty user name or password is refused; the user name is compared without regard to ASCII
// letter case, the password exactly.
unsigned char CheckCredentials(const char* pUser, int nUserLength, const char* pPassword, int nPasswordLength);

// The restrictions switched on over a stored value that could not be read (config/Settings.h),
// which admit nobody: the reason of each, as the session log's "Block" line gives it and the
// headless program repeats on its standard error. Writes 0 to 2 texts; returns how many.
int GetUnreadableRestrictions(const char* apszReasons[2]);

// Replaces g_settings.arrIpRanges with copies of the n given ranges, safely against checks that
// run at the same time (see above). The Options sheet's only way to change the list.
void ReplaceIpRanges(const IP_RANGE2* pRanges, int nCount);

// Replaces the SOCKS5 user name and password (g_settings.strSocks5Userid and strSocks5Password)
// under the lock that CheckCredentials holds for its comparison: writing the strings in place
// while the server runs could free a buffer that a session thread is still reading. The Options
// sheet's only way to change them while the server may run.
void ReplaceCredentials(const char* pszUser, const char* pszPassword);

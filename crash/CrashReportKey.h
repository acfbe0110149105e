// CrashReportKey.h: the per-user crash-report key, its product switches and the reporter id.
//
// HKEY_CURRENT_USER\Software\Orvane\dumpsend.dll holds one REG_DWORD switch per product (named
// after the product; the crash path goes on only when it is nonzero) and "UUID", the reporter id
// that ties every report of this user account together. Each function opens the key, does one
// access and closes it again.
#pragma once

#include <cstdint>

#include <windows.h>

// The key with full access, created level by level when missing; null on failure.
HKEY OpenCrashReportKey();
// The stored "UUID"; when there is none, a new id is made, stored and returned.
uint32_t GetReporterId();
// The REG_DWORD value pszName; 0 when it cannot be read.
uint32_t ReadCrashReportSwitch(const char* pszName);
void WriteCrashReportSwitch(const char* pszName, uint32_t nValue);

// PosixError.h: errno values turned into the Win32 error numbers the core expects.
#pragma once

#include <cstdint>

// The Win32 error number for an errno value (ERROR_FILE_NOT_FOUND for ENOENT...).
uint32_t Win32ErrorFromErrno(int nErrno);
// Sets the thread's last error from errno and returns false, for one-line failure paths.
bool FailWithErrno();

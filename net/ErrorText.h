// ErrorText.h: the short texts of error codes, and the start and end of Windows Sockets.
//
// The texts appear in the session log's Error field and in the "Server startup failed" and
// "Server went down" messages.
#pragma once

#include <cstdint>

#include "foundation/CharArray.h"

// The proxy program's text: an engine condition (16 to 22, Windows Sockets half 0) by its own
// text, anything else as SocketErrorText.
void ErrorText(uint32_t nCode, CCArray& strOut);
CCArray ErrorText(uint32_t nCode);

// The socket layer's text: "Connection refused (10061)" when the Windows Sockets error is known,
// else the condition's text, else "Socket error: <condition>,<error>". Never fails.
void SocketErrorText(uint32_t nCode, CCArray& strOut);
CCArray SocketErrorText(uint32_t nCode);

// Starts Windows Sockets 1.1 before the program creates any window. On failure shows "Windows
// sockets initialization failed." and returns false: the program then ends.
bool StartSockets();
// Ends Windows Sockets once, after the message loop.
void StopSockets();

// SocketInternals.h: what the POSIX socket files share (errors, handle slots, the wait of a call).
//
// Windows Sockets semantics over BSD sockets. Three things differ from Winsock and are emulated:
// - Closing a descriptor does not wake a thread blocked on it (poll, recv, accept, recvfrom all
//   stay blocked), and the number is handed to the very next socket() or open(), so a thread that
//   still holds it would act on a stranger's connection. Every SOCKET is therefore the descriptor
//   plus a generation, checked against a per-descriptor slot (SocketSlots.cpp). A call holds the
//   slot busy while it runs; closing marks the slot, shuts the socket down (which wakes every
//   blocked call at once) and the last call to leave performs the real close(). A handle of an
//   older generation fails with WSAENOTSOCK and never reaches the descriptor.
// - select() cannot take descriptors above 1023: SysSelect is built on poll() (SocketSelect.cpp).
// - Failures carry errno values: one table turns them into Windows Sockets numbers
//   (SocketErrors.cpp).
// Connected and datagram descriptors are non-blocking: a call tries the system call first and, when
// it would block and the caller did not ask for a call that does not wait, waits in poll() and
// tries again. A connect then needs no switching of the descriptor's mode, and a caller that waits
// with its own time-out tries its receive or send before any wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <unistd.h>

#include "platform/Sockets.h"

// ---------------------------------------------------------------------------------------------
// Errors (SocketErrors.cpp).
// Sets the thread's Windows Sockets error and returns SOCKET_ERROR.
int SockFail(int nWsaError);
// The Windows Sockets number of an errno value; unknown values pass through unchanged.
int WsaFromErrno(int nErrno);
inline int SockFailErrno(int nErrno)
{
    return SockFail(WsaFromErrno(nErrno));
}
// The result of a call that ran while its handle was closed by another thread: it fails, as a
// blocking Winsock call fails when closesocket cancels it.
inline int SockFailCancelled()
{
    return SockFail(WSAEINTR);
}

// ---------------------------------------------------------------------------------------------
// Descriptor slots (SocketSlots.cpp). One 64-bit word per descriptor: generation (high 32 bits),
// open and closing flags, and the number of calls in flight on it.
const uint64_t SLOT_BUSY_MASK = (1ull << 30) - 1;
const uint64_t SLOT_CLOSING = 1ull << 30;
const uint64_t SLOT_OPEN = 1ull << 31;

struct SSlot
{
    std::atomic<uint64_t> nState;
};

// The slot of a descriptor, or null when none was ever made for it.
SSlot* FindSlot(int fd);
// Gives a fresh descriptor (from socket or accept) its handle; INVALID_SOCKET (and the descriptor
// closed) when it is beyond the table.
SOCKET InstallSocket(int fd);

inline int HandleFd(SOCKET s)
{
    return (int)(uint32_t)s;
}

inline uint32_t HandleGeneration(SOCKET s)
{
    return (uint32_t)(s >> 32);
}

// One call's hold on a handle: while it exists the descriptor cannot be closed under it.
class CSocketUse
{
public:
    CSocketUse() : pSlot(nullptr), fd(-1) {}
    explicit CSocketUse(SOCKET s) : pSlot(nullptr), fd(-1) { Enter(s); }

    // Takes the hold; false when the handle is invalid, stale or being closed.
    bool Enter(SOCKET s)
    {
        if (s == INVALID_SOCKET)
            return false;
        SSlot* p = FindSlot(HandleFd(s));
        if (!p)
            return false;
        uint64_t nState = p->nState.load(std::memory_order_acquire);
        for (;;)
        {
            if ((uint32_t)(nState >> 32) != HandleGeneration(s) || !(nState & SLOT_OPEN) ||
                (nState & SLOT_CLOSING))
                return false;
            if (p->nState.compare_exchange_weak(nState, nState + 1, std::memory_order_acq_rel))
                break;
        }
        pSlot = p;
        fd = HandleFd(s);
        return true;
    }

    ~CSocketUse() { Leave(); }

    bool IsValid() const { return pSlot != nullptr; }
    int Fd() const { return fd; }
    SSlot* Slot() const { return pSlot; }

    bool IsClosing() const { return (pSlot->nState.load(std::memory_order_acquire) & SLOT_CLOSING) != 0; }

    // Ends the hold; true when the handle was closed meanwhile. The last call to leave a closed
    // slot marks it free first and only then releases the number: once close() returns, the next
    // socket() may install the same descriptor in this slot.
    bool Leave()
    {
        if (!pSlot)
            return false;
        uint64_t nState = pSlot->nState.fetch_sub(1, std::memory_order_acq_rel) - 1;
        bool bClosing = (nState & SLOT_CLOSING) != 0;
        if (bClosing && (nState & SLOT_BUSY_MASK) == 0)
        {
            pSlot->nState.store(nState & ~(SLOT_OPEN | SLOT_CLOSING), std::memory_order_release);
            close(fd);
        }
        pSlot = nullptr;
        return bClosing;
    }

private:
    CSocketUse(const CSocketUse&) = delete;
    CSocketUse& operator=(const CSocketUse&) = delete;
    SSlot* pSlot;
    int fd;
};

// ---------------------------------------------------------------------------------------------
// Waits (SocketSelect.cpp).
// Waits without a time-out until the held descriptor reports one of the poll events (or an
// error or hang-up). False with errno set when poll failed; an interruption by a signal or a close
// returns true, and the caller's next try or its hold tells which.
bool WaitForEvents(const CSocketUse& use, short nEvents);

// SessionTable.h: the session record, the global session table with its lock, and the traffic
// counters.
//
// Every admitted client is one SCSTask in g_sessionTable from its accept until its session thread
// ends. The table is changed and walked only under g_csSessionTable; its element count is also
// kept in an atomic beside it, because the listener's limit check and the Statistics window read
// the count without taking the lock. The four traffic counters are added to by every relay
// thread at once, so each is an atomic 64-bit total: a relaxed fetch_add is one locked
// instruction (cmpxchg8b on 32-bit x86) and keeps the relay's copy loop free of any lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/Array.h"
#include "foundation/CharArray.h"
#include "platform/Platform.h"

// Session states, in the order a session passes through them.
enum
{
    SESSION_IDLE = 0,        // new record, before its thread runs
    SESSION_NEGOTIATING = 1, // the session thread has logged its Connect line
    SESSION_TCP_SETUP = 2,   // the destination socket exists and the connect has begun
    SESSION_TCP_READY = 3,   // the TCP relay runs
    SESSION_UDP_READY = 4,   // the UDP association is ready
};

// One session, allocated by the listener and owned by the table. A new record is all zero except
// hClientSocket, hDestSocket (INVALID_SOCKET) and tStart: build it with NewSessionRecord. Its
// session thread writes each field once, without the lock, at its stage of the session.
struct SCSTask
{
    int32_t bStop;        // set to 1 by the server's stop path; the stop flag of its sockets
    SOCKET hClientSocket; // the accepted client connection
    SOCKET hDestSocket;   // the destination connection; INVALID_SOCKET until it is created
    uint32_t dwSessionId; // the serving thread's id, written when the session is handed to it
    int64_t tStart;       // time of the accept, seconds since 1970 (UTC)
    int32_t nVersion;     // 0 until known, then 4 or 5
    char szUser[256];     // SOCKS4 user id or authenticated SOCKS5 user name; empty when none
    sockaddr_in saClient; // the client's address and port (network order)
    sockaddr_in saDest;   // the destination; all zero until known, all 0xFF for a UDP association
    int32_t nState;       // SESSION_IDLE ... SESSION_UDP_READY

    unsigned long GetKey() const { return dwSessionId; }
};

// A zeroed record for an accepted client socket, stamped with the current time.
SCSTask* NewSessionRecord(SOCKET hClient);

// The session table: sorted by session id, owning its records. Insert and Remove keep the atomic
// count beside the table in step; both are called under g_csSessionTable.
class CSessionTable : public CSortableArrayPtr<SCSTask, unsigned long>
{
    typedef CSortableArrayPtr<SCSTask, unsigned long> Base;

public:
    CSessionTable() : nLiveCount(0) {}

    // False (and the table unchanged; the caller keeps the record) when the id is present.
    bool Insert(SCSTask* pTask);
    // Makes room for one more record, so that the next Insert allocates nothing. Throws
    // std::bad_alloc without memory for it.
    void ReserveOne();
    // Removes and deletes the record with this id; false when absent.
    bool Remove(unsigned long dwSessionId);
    // Removes and deletes n records from nIndex on (n negative: to the end).
    void RemoveAt(int32_t nIndex, int32_t n = 1);
    // Deletes every record.
    void RemoveAll();

    // The number of records; safe to read from any thread without the lock. A count of 0 seen
    // here also means that every removed session's last writes (its Disconnect line) are visible.
    int GetLiveCount() const { return nLiveCount.load(std::memory_order_acquire); }

private:
    // Unsorted or uncounted changes have no place in the session table.
    using Base::Add;
    using Base::InsertAt;
    using Base::SetAllocSize;
    using Base::SetSize;

    void PublishCount() { nLiveCount.store(GetSize(), std::memory_order_release); }

    std::atomic<int> nLiveCount;
};

extern CSessionTable g_sessionTable;
// Guards every change of g_sessionTable and every walk over it. Never held across a network call.
extern CCriticalSection g_csSessionTable;

// The number of live sessions, read without the lock (connection limit, Statistics window).
int GetSessionCount();

// Bytes moved, each side counting both directions. Added to by the relays, read by the
// Statistics window, zeroed when the server starts.
struct STrafficCounters
{
    std::atomic<uint64_t> nTcpClient;
    std::atomic<uint64_t> nUdpClient;
    std::atomic<uint64_t> nTcpDest;
    std::atomic<uint64_t> nUdpDest;
};

// A torn or locked 64-bit counter would either lose updates or put a lock on every relay block.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "64-bit traffic counters must be lock-free");

extern STrafficCounters g_traffic;

inline void AddTraffic(std::atomic<uint64_t>& nCounter, uint64_t nBytes)
{
    nCounter.fetch_add(nBytes, std::memory_order_relaxed);
}

inline uint64_t ReadTraffic(const std::atomic<uint64_t>& nCounter)
{
    return nCounter.load(std::memory_order_relaxed);
}

void ResetTraffic();

// Endpoint text of an IPv4 socket address, as the session log, the Statistics window and the
// snapshot page show it: pszNone for 0.0.0.0 (nothing known yet), "(UDP ASSOCIATE)" for
// 255.255.255.255 when bAssociateMark is set (a UDP association's destination; the page shows a
// source of all ones as the address it is), otherwise "a.b.c.d:port".
void EndpointText(const sockaddr_in& sa, CCArray& strOut, const char* pszNone = "-", bool bAssociateMark = true);

// The display text of a session state ("idle" ... "UDP relay ready"); "-" for any other value.
const char* SessionStateText(int nState);

// Progress.h: the optional hooks of a transaction: the progress record another thread may watch,
// and the byte counter shared between transactions.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Platform.h"

enum EProgressState
{
    PROGRESS_CONNECTING = 2,
    PROGRESS_CONNECTED = 3,
    PROGRESS_RECEIVING = 4, // the response body has started (download mode)
    PROGRESS_SENDING = 5,   // a file body has started to go out (upload mode)
};

struct SHttpProgress
{
    std::atomic<int32_t> state;
    std::atomic<int32_t> total; // -1 while the length of a response body is open
    std::atomic<int32_t> done;
    int downloadMode;

    SHttpProgress() : state(0), total(0), done(0), downloadMode(0) {}
};

struct STransferCounter
{
    int64_t nTotal;
    CCriticalSection cs;
    int bDownload; // 0 counts bytes of sent files, nonzero bytes of received bodies

    STransferCounter() : nTotal(0), bDownload(0) {}
    void Add(int64_t n)
    {
        CScopedLock lock(cs);
        nTotal += n;
    }
    int64_t Get()
    {
        CScopedLock lock(cs);
        return nTotal;
    }
};

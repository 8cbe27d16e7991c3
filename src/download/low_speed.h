// The low-speed limit of a transfer: a connection whose bytes arrive slower than
// [Mirovane] LowSpeedLimit bytes per second for [Mirovane] LowSpeedTime seconds is dropped,
// so that a server that trickles a few bytes a second cannot hold a download for ever.
// Pure rules apart from LowSpeedFromSettings; a watch belongs to one thread.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

struct LowSpeedLimit {
    uint64_t bytesPerSecond = 0;  // 0: no check
    uint32_t seconds = 0;         // 0: no check
    bool Enabled() const { return bytesPerSecond > 0 && seconds > 0; }
};

// [Mirovane] LowSpeedLimit (default 1024) and LowSpeedTime (default 60); 0 or less for
// either turns the check off.
LowSpeedLimit LowSpeedFromSettings();

// Counts bytes in a window that starts at `startMs` and starts again each time it has brought
// bytesPerSecond * seconds bytes; a window that lasts `seconds` without them is too slow.
// Times are milliseconds of one monotonic clock.
class LowSpeedWatch {
public:
    LowSpeedWatch(LowSpeedLimit limit, uint64_t startMs);
    // Adds bytes that had arrived by `nowMs` (0 after a wait that brought nothing); true once
    // the transfer is too slow, and from then on.
    bool Add(uint64_t bytes, uint64_t nowMs);
    bool TooSlow() const { return tooSlow_; }
    const LowSpeedLimit& Limit() const { return limit_; }

private:
    LowSpeedLimit limit_;
    uint64_t windowStart_;
    uint64_t windowBytes_ = 0;
    bool tooSlow_ = false;
};

// Milliseconds of the monotonic clock the watches use.
uint64_t LowSpeedNowMs();

// Why a transfer was dropped for being too slow (the caller adds what was fetched).
std::wstring LowSpeedText(const LowSpeedLimit& limit);

// Reads what has arrived of a response body, waiting for at least one byte: at most `size`
// bytes into `buf`. `got` 0 with true: the body has ended. False: the read failed (time-out,
// reset; GetLastError tells). Returns as soon as bytes are there, so a caller can look at the
// clock between small arrivals.
bool ReadArrived(HINTERNET request, char* buf, DWORD size, DWORD& got);

// Remembered receive time-outs: one atomic word per slot, socket and
// seconds packed together, so a slot is never seen half written.
#include "read_timeouts.h"

#include <atomic>
#include <cstddef>

namespace {

constexpr std::size_t READ_TIMEOUT_SLOTS = 64;
constexpr uint64_t READ_TIMEOUT_EMPTY = 0;

std::atomic<uint64_t> readTimeoutSlots[READ_TIMEOUT_SLOTS];
static_assert(std::atomic<uint64_t>::is_always_lock_free, "a slot is one atomic word");

// Windows sockets are multiples of four, file descriptors small numbers:
// a multiplicative hash spreads both over the slots.
std::atomic<uint64_t>& ReadTimeoutSlot(NevtarSocket socket) {
    const uint32_t hash = static_cast<uint32_t>(socket) * 2654435761u;
    return readTimeoutSlots[(hash >> 16) % READ_TIMEOUT_SLOTS];
}

// The socket in the high half, the seconds (0 or more) plus one in the low
// half, so that no claim is all zero.
uint64_t ReadTimeoutClaim(NevtarSocket socket, int32_t seconds) {
    return static_cast<uint64_t>(static_cast<uint32_t>(socket)) << 32 |
           (static_cast<uint32_t>(seconds) + 1);
}

} // namespace

int32_t NevtarReadSeconds(int32_t timeout) {
    return timeout > 0 ? timeout : 0;
}

int NevtarReadTimeoutIsSet(NevtarSocket socket, int32_t seconds) {
    return ReadTimeoutSlot(socket).load(std::memory_order_relaxed) ==
           ReadTimeoutClaim(socket, seconds);
}

void NevtarReadTimeoutRemember(NevtarSocket socket, int32_t seconds) {
    ReadTimeoutSlot(socket).store(ReadTimeoutClaim(socket, seconds), std::memory_order_relaxed);
}

void NevtarReadTimeoutForget(NevtarSocket socket) {
    std::atomic<uint64_t>& slot = ReadTimeoutSlot(socket);
    uint64_t claim = slot.load(std::memory_order_relaxed);
    // Only this socket's claim: another socket's in the same slot stays.
    while (claim != READ_TIMEOUT_EMPTY && (claim >> 32) == static_cast<uint32_t>(socket) &&
           !slot.compare_exchange_weak(claim, READ_TIMEOUT_EMPTY, std::memory_order_relaxed)) {
    }
}

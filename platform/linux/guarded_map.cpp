// Mappings of object files, guarded against SIGBUS.
//
// Nothing read from an object file is trusted for a length: a view is
// unmapped by the length this process mapped. A file cut short under a
// mapping (by its own user; no one else may write it) must not kill the
// process with SIGBUS: a guard puts private zeroed memory in place of the
// whole mapping, and the process goes on with that object detached from the
// others.
#include "kernel_internal.h"
#include "kernel_syscalls.h"

#include <atomic>
#include <cerrno>
#include <cstdint>

#include <signal.h>
#include <sys/mman.h>

namespace {

constexpr int KERNEL_RANGES_MAX = 64;
constexpr uintptr_t KERNEL_RANGE_FREE = 0;
constexpr uintptr_t KERNEL_RANGE_CLAIMED = 1; // being filled in

// Every mapping of an object file this process holds: the guard reads them
// in signal context, so each field is a lock-free atomic, and start is
// published after length.
struct KernelRange {
    std::atomic<uintptr_t> start;
    std::atomic<size_t> length;
};
static_assert(std::atomic<uintptr_t>::is_always_lock_free, "read in signal context");
static_assert(std::atomic<size_t>::is_always_lock_free, "read in signal context");

KernelRange kernelRanges[KERNEL_RANGES_MAX];
struct sigaction kernelBusBefore; // the action the guard stands in front of
std::atomic<int> kernelBusGuarded{0};

// SIGBUS: an access beyond the end of a file cut short under its mapping.
void KernelBusGuard(int signalNumber, siginfo_t* info, void* context) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (KernelRange& range : kernelRanges) {
        const uintptr_t start = range.start.load();
        const size_t length = range.length.load();
        if (start > KERNEL_RANGE_CLAIMED && address >= start && address - start < length) {
            const int saved = errno;
            void* placed = kernelSyscalls.mapMemory(reinterpret_cast<void*>(start), length,
                                                    PROT_READ | PROT_WRITE,
                                                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            errno = saved;
            if (placed != MAP_FAILED) {
                return; // the access is made again, now in memory of our own
            }
            break;
        }
    }
    if ((kernelBusBefore.sa_flags & SA_SIGINFO) != 0 && kernelBusBefore.sa_sigaction != nullptr) {
        kernelBusBefore.sa_sigaction(signalNumber, info, context);
    } else if (kernelBusBefore.sa_handler != SIG_DFL && kernelBusBefore.sa_handler != SIG_IGN) {
        kernelBusBefore.sa_handler(signalNumber);
    } else {
        // Not ours: the fault recurs and takes the default action.
        signal(SIGBUS, SIG_DFL);
    }
}

int KernelGuardBus() {
    if (kernelBusGuarded.load() != 0) {
        return 1;
    }
    struct sigaction guard {};
    guard.sa_sigaction = KernelBusGuard;
    guard.sa_flags = SA_SIGINFO;
    sigemptyset(&guard.sa_mask);
    if (sigaction(SIGBUS, &guard, &kernelBusBefore) != 0) {
        return 0;
    }
    kernelBusGuarded.store(1);
    return 1;
}

// Notes a mapping for the guard. 1, or 0 when the table is full.
int KernelRangeAdd(void* start, size_t length) {
    if (!KernelGuardBus()) {
        return 0;
    }
    for (KernelRange& range : kernelRanges) {
        uintptr_t expected = KERNEL_RANGE_FREE;
        if (range.start.compare_exchange_strong(expected, KERNEL_RANGE_CLAIMED)) {
            range.length.store(length);
            range.start.store(reinterpret_cast<uintptr_t>(start));
            return 1;
        }
    }
    return 0;
}

} // namespace

// The length mapped at start, and the entry freed; 0 for no mapping of ours.
size_t KernelRangeTake(const void* start) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(start);
    for (KernelRange& range : kernelRanges) {
        uintptr_t expected = address;
        if (address > KERNEL_RANGE_CLAIMED &&
            range.start.compare_exchange_strong(expected, KERNEL_RANGE_CLAIMED)) {
            const size_t length = range.length.load();
            range.start.store(KERNEL_RANGE_FREE);
            return length;
        }
    }
    return 0;
}

// mmap of an object file, guarded. The memory, or null with the last error set.
void* KernelMap(int fd, size_t length, int protection) {
    void* map = kernelSyscalls.mapMemory(nullptr, length, protection, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        KernelFail(KernelErrorFromErrno(errno));
        return nullptr;
    }
    if (!KernelRangeAdd(map, length)) {
        kernelSyscalls.unmapMemory(map, length);
        KernelFail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return map;
}

void KernelUnmap(const void* start) {
    const size_t length = KernelRangeTake(start);
    if (length != 0) {
        kernelSyscalls.unmapMemory(const_cast<void*>(start), length);
    }
}

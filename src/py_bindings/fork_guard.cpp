// Fork generation counter; see fork_guard.h.
#include "fork_guard.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace ravo::py {

namespace {

// Bumped only by the fork child handler, which runs while the child has a
// single thread; read by any thread afterwards. Relaxed on both sides: the
// child's one thread writes it before it runs anything else, and the
// parent's value never changes.
std::atomic<std::uint64_t> g_generation{0};

void on_fork_child() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t process_generation() noexcept {
    static std::once_flag registered;
    std::call_once(registered, [] {
        // Without the handler a child cannot tell its copies apart; they
        // would then be torn down as if they were its own, as before.
        if (const int err = ::pthread_atfork(nullptr, nullptr, on_fork_child); err != 0) {
            std::fprintf(stderr, "ravo: pthread_atfork failed (error %d)\n", err);
        }
    });
    return g_generation.load(std::memory_order_relaxed);  // see g_generation
}

}  // namespace ravo::py

// The `_Server` Python object: construction from Python arguments, the
// control calls and the consumer call.
//
// Members are set once by construction and never mutated afterwards, so any
// number of Python threads may be inside methods of one server at once; each
// call that waits or copies takes its own share of the store first, so the
// store outlives the call even if the server is destroyed meanwhile.
#pragma once

#include "common.h"

#include <atomic>
#include <memory>

#include "ingress/drainer_pool.h"
#include "metrics.h"
#include "store.h"
#include "transport/transport.h"

namespace ravo::py {

struct PyServer {
    PyObject_HEAD
    std::shared_ptr<Store> store;
    std::shared_ptr<Metrics> metrics;
    std::shared_ptr<DrainerPool> drainer_pool;           // only with a transport
    std::unique_ptr<transport::Transport> transport;     // only with a transport
    // Held by the one thread inside sample(); a second caller is refused
    // rather than racing the give-back and the hand-out.
    std::atomic<bool> sampling;
    // The thread that holds `sampling`, so that a refusal can say whether
    // the call came from that same thread (a signal handler re-entering
    // sample()). Written and read with the interpreter lock held.
    unsigned long sampling_thread;
    // The process generation this server was built in (fork_guard.h); a
    // forked child's copy neither serves nor tears down the parent's threads.
    std::uint64_t generation;
};

}  // namespace ravo::py

// The TCP server: the system's only network ingress.
//
// When started, it binds a listening socket on all IPv4 interfaces, runs its
// own "tcp" runtime, accepts producers and, per connection, sends the
// handshake, reads fixed-size samples into buffers from the connection's
// buffer pool, pushes each into the connection's producer queue (waiting
// while it is full) and acknowledges it with one byte. It never touches the
// store: each buffer passes to ingress, which copies and recycles it.
//
// Samples already waiting in the socket are read several at a time, each
// straight into its own buffer (one scatter read, never more samples than
// the queue has room for), queued in stream order, and their acknowledgement
// bytes go out in one write after the last of them is queued. The bytes on
// the wire are those of one read and one write per sample; no sample is
// acknowledged before it is queued, and a full queue still stops the reading.
//
// Threads: start, shutdown and port may be called from any thread; each holds
// the state mutex for its whole duration, so they never overlap. shutdown
// waits, without a time limit, until every "tcp" thread has exited; no task
// on the runtime takes the state mutex, so that wait cannot deadlock.
//
// Standard error gets one line per event: "TCP server error: ",
// "TCP accept error: ", "TCP connection error from a.b.c.d:port: ", each
// followed by the error text. A clean end of stream is not reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "array_spec.h"
#include "ingress/drainer_pool.h"
#include "runtime/oneshot.h"
#include "runtime/runtime.h"
#include "transport/transport.h"

namespace ravo::transport::tcp {

class TcpTransport final : public Transport {
public:
    TcpTransport(std::vector<ArraySpec> specs, std::shared_ptr<DrainerPool> pool, std::size_t num_threads,
                 std::uint16_t port);
    // Tears a started transport down like shutdown(), except that the
    // runtime goes first and the signal's sender is dropped afterwards.
    ~TcpTransport() override;

    // "TCP server already started" when started; otherwise the system's text
    // for a failed bind, non-blocking switch, address read-back or runtime
    // build, with the listening socket closed and nothing started.
    Status start() override;
    void shutdown() override;
    std::optional<std::uint16_t> port() override;

private:
    struct State {
        std::unique_ptr<runtime::Runtime> runtime;
        std::optional<runtime::OneshotSender> shutdown_signal;
        std::uint16_t port = 0;
    };

    const std::vector<ArraySpec> specs_;
    const std::shared_ptr<DrainerPool> pool_;
    const std::size_t num_threads_;
    const std::uint16_t configured_port_;

    std::mutex mu_;                // guards state_
    std::optional<State> state_;   // empty: not started
};

}  // namespace ravo::transport::tcp

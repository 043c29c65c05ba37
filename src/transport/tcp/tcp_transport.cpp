// TCP server: listener, accept loop and connection tasks; see tcp_transport.h.
#include "transport/tcp/tcp_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/io_handle.h"
#include "transport/tcp/handshake.h"
#include "transport/tcp/in_place_read.h"

namespace ravo::transport::tcp {

namespace {

using runtime::IoHandle;
using runtime::IoResult;
using runtime::Task;

// Pause after an accept error that will recur at once (out of descriptors
// or memory), so the loop neither spins nor floods standard error.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

// A task that finds work at every turn (a producer that keeps its socket
// full, a flood of connections) gives way to the other tasks of its worker
// after this many turns without waiting, so that the accept loop and the
// other connections run, and the worker polls for their readiness.
constexpr std::size_t kBusyRoundsBeforeYield = 16;

// "a.b.c.d:port" in a fixed buffer, so that reporting never allocates.
struct PeerText {
    char text[INET_ADDRSTRLEN + 6] = "?";
};

PeerText peer_text(const sockaddr_in& addr) noexcept {
    PeerText out;
    char ip[INET_ADDRSTRLEN] = "?";
    if (inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip) == nullptr) std::snprintf(ip, sizeof ip, "?");
    std::snprintf(out.text, sizeof out.text, "%s:%u", ip, static_cast<unsigned>(ntohs(addr.sin_port)));
    return out;
}

// The system's text for an errno value (strerror_r), in a fixed buffer.
struct OsText {
    char buffer[256];
    const char* text;
    explicit OsText(int err) noexcept : buffer{}, text(::strerror_r(err, buffer, sizeof buffer)) {}
};

// Writes the parts as one line on standard error. A line that fits the
// stack buffer goes out in one write, so lines from several threads never
// interleave; a longer one is written piecewise under the stream's lock.
// Never allocates and never throws: it also reports running out of memory.
void log_line(std::initializer_list<std::string_view> parts) noexcept {
    char line[1024];
    std::size_t n = 0;
    bool fits = true;
    for (std::string_view part : parts) {
        if (n + part.size() + 1 > sizeof line) {
            fits = false;
            break;
        }
        std::memcpy(line + n, part.data(), part.size());
        n += part.size();
    }
    flockfile(stderr);
    if (fits) {
        line[n++] = '\n';
        std::fwrite(line, 1, n, stderr);
    } else {
        for (std::string_view part : parts) std::fwrite(part.data(), 1, part.size(), stderr);
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
    funlockfile(stderr);
}

// Outcome of a connection: a clean end of stream, or an error, either an
// errno value or a fixed text. Carries no string, so that a connection that
// ran out of memory can still say so.
struct Outcome {
    bool error = false;
    int err = 0;
    const char* text = nullptr;  // static storage; null: the text of `err`
    static Outcome ok() noexcept { return {}; }
    static Outcome fail(const char* t) noexcept { return {true, 0, t}; }
};

Outcome os_failure(int err) noexcept { return {true, err, nullptr}; }

// Ends the socket itself before its descriptor is closed: a connection is
// shut down in both directions, a listener stops listening. A child forked
// from this process (a data-loader worker, say) holds a copy of every
// descriptor until it exits; a close alone would then tell no producer that
// the server has gone, leave new connections waiting in the backlog instead
// of refused, and keep the port from being bound again.
void end_socket(int fd) noexcept {
    // A failure (ENOTCONN: the peer already went) leaves nothing to do; the
    // close that follows releases the descriptor either way.
    if (fd >= 0) (void)::shutdown(fd, SHUT_RDWR);
}

// Calls end_socket for a handle when the frame holding it goes, which also
// covers a task cancelled at its wait point by the runtime's teardown. The
// handle must outlive this guard; once it is closed (fd -1) this does
// nothing, so a descriptor number reused meanwhile is never touched.
class EndsSocket {
public:
    explicit EndsSocket(const IoHandle& io) noexcept : io_(io) {}
    EndsSocket(const EndsSocket&) = delete;
    EndsSocket& operator=(const EndsSocket&) = delete;
    ~EndsSocket() { end_socket(io_.fd()); }

private:
    const IoHandle& io_;
};

// Writes all of [data, data + len), waiting for writability when the socket
// would block. A write that accepts zero bytes is "write zero".
Task<Outcome> write_all(const IoHandle& io, const std::uint8_t* data, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        IoResult r = io.try_write(data + done, len - done);
        if (r.would_block()) {
            co_await io.writable();
            continue;
        }
        if (!r.ok()) co_return os_failure(r.error);
        if (r.bytes == 0) co_return Outcome::fail("write zero");
        done += r.bytes;
    }
    co_return Outcome::ok();
}

// How far a connection reads ahead of its queue. Several samples that are
// already waiting in the socket are read with one scatter read, each straight
// into its own pooled buffer, queued in order, and acknowledged with one
// write: the same bytes on the wire as one read and one write per sample, at
// a fraction of the system calls. The read-ahead never exceeds the room left
// in the producer queue (this connection is its only producer, so that room
// can only grow until it pushes), so every sample read is queued at once and
// a full queue still stops the reading. Large samples gain nothing from it
// and would only hold more memory, so the bytes read ahead are bounded too.
constexpr std::size_t kMaxReadAhead = 64;
constexpr std::size_t kReadAheadBytes = 256 * 1024;

// Acknowledgements owed by a connection never exceed two rounds of
// read-ahead (see `hold_acks` in handle_connection), so one write from this
// buffer covers them; the writers still split larger counts.
constexpr std::array<std::uint8_t, 2 * kMaxReadAhead> kAcks = [] {
    std::array<std::uint8_t, 2 * kMaxReadAhead> a{};
    a.fill(kAck);
    return a;
}();

// Writes `count` acknowledgement bytes, waiting for writability as needed:
// for the rare moments (a wait, the end of the stream) when a connection
// must settle what it owes at once, so a coroutine frame is affordable.
Task<Outcome> write_acks(const IoHandle& io, std::size_t count) {
    while (count > 0) {
        const std::size_t n = std::min(count, kAcks.size());
        Outcome sent = co_await write_all(io, kAcks.data(), n);
        if (sent.error) co_return sent;
        count -= n;
    }
    co_return Outcome::ok();
}

// A producer on this host reaches the server through the loopback device,
// where a round trip takes microseconds and a receive window of a few hundred
// kilobytes keeps the stream moving. Left to the kernel's autotuning, such a
// socket's buffer grows to many megabytes whenever the server falls behind,
// and the bytes then wait there until the caches have lost them: the copy out
// of the socket, the largest cost of a large sample, then reads from memory
// at a fraction of the speed (1 MiB samples from 4 local producers: 4-19 MiB
// queued per connection, and 1.2x to 1.7x the samples per second with this
// bound). So a connection from this host gets a fixed receive buffer (the
// kernel doubles the value for its bookkeeping); one from another host keeps
// the autotuning that a long, fast path needs. A sample larger than the
// buffer still streams through it in pieces.
constexpr int kLocalReceiveBuffer = 1 << 20;

// Whether the system lets a socket have kLocalReceiveBuffer: a request is
// silently cut to net.core.rmem_max, and a buffer far below it (the common
// default is 208 KiB) starves a single connection of large samples more than
// autotuning would. Read once per process; unreadable counts as too small.
bool local_receive_buffer_allowed() noexcept {
    static const bool allowed = [] {
        const int fd = ::open("/proc/sys/net/core/rmem_max", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        char text[32] = {};
        const ssize_t n = ::read(fd, text, sizeof text - 1);
        (void)::close(fd);  // read-only: nothing a failed close could lose
        return n > 0 && std::strtoll(text, nullptr, 10) >= kLocalReceiveBuffer;
    }();
    return allowed;
}

// Whether the peer runs on this host: a loopback address, or the address this
// end of the connection has (a producer that dialled one of the host's own
// addresses goes through the loopback device as well). On a failure to read
// that address, false with `err` set.
bool peer_on_this_host(int fd, const sockaddr_in& peer, int& err) noexcept {
    if ((ntohl(peer.sin_addr.s_addr) >> 24) == 127) return true;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        err = errno;
        return false;
    }
    return local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

// Samples to read ahead: at least one (a full queue then makes the push
// wait, as it must), at most the queue's free room and the byte bound.
// `sample_size` > 0: a layout without bytes is refused with a transport.
std::size_t read_ahead(const SampleSender& sender, std::size_t sample_size) {
    const ProducerQueue& q = sender.queue();
    const std::size_t room = q.capacity() - q.size();
    const std::size_t by_bytes = std::max<std::size_t>(1, kReadAheadBytes / sample_size);
    return std::max<std::size_t>(1, std::min({room, by_bytes, kMaxReadAhead}));
}

// The protocol loop of one connection. Returns when the producer ends the
// stream (clean) or on the first error. Per sample: read it whole into a
// pooled buffer, store it directly or queue it (sample_sender.h), acknowledge
// it; or, for mid-sized samples already whole in the socket, read it in
// place (read_in_place). Nothing here allocates once the connection's pool
// holds its buffers.
//
// Acknowledgements are owed from the moment their samples are stored or
// queued and go out at the start of the next round, in one write. One
// exception: when the round's pushes had to wait for room in the queue and
// room is left, its acknowledgements wait for the next round's samples too.
// The drainer has just emptied the queue, and with a producer that
// pipelines the next samples are already in the socket, so one write
// acknowledges both rounds. With the default queue of 8 and a window of 64
// that halves the acknowledgement writes. Whatever is owed is always
// written before the connection waits for anything (data, queue room, its
// turn on the worker) and before a clean end, so a producer waiting for
// acknowledgements is never kept waiting by this.
Task<Outcome> handle_connection(const IoHandle& io, const sockaddr_in& peer, const std::vector<std::uint8_t>& handshake,
                                std::size_t sample_size, SampleSender& sender) {
    const int one = 1;
    if (setsockopt(io.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) co_return os_failure(errno);
    int address_err = 0;
    if (local_receive_buffer_allowed() && peer_on_this_host(io.fd(), peer, address_err)) {
        if (setsockopt(io.fd(), SOL_SOCKET, SO_RCVBUF, &kLocalReceiveBuffer, sizeof kLocalReceiveBuffer) != 0) {
            co_return os_failure(errno);
        }
    } else if (address_err != 0) {
        co_return os_failure(address_err);
    }
    Outcome sent = co_await write_all(io, handshake.data(), handshake.size());
    if (sent.error) co_return sent;

    // Buffers being filled, in stream order: held[0] has `got` bytes, the
    // others none. They live in this frame, so a cancelled or failed
    // connection frees them rather than returning them to the pool.
    std::array<SampleBuffer, kMaxReadAhead> held;
    std::array<iovec, kMaxReadAhead> segments{};
    std::size_t num_held = 0;
    std::size_t got = 0;
    // Samples the next read may ask for: doubles while reads fill every
    // buffer they are given (the producer is ahead), and falls back to what
    // the last read reached when it did not. A producer that sends one
    // sample at a time is read one sample at a time, with one buffer.
    std::size_t span = 1;
    std::size_t busy_rounds = 0;  // turns since this task last waited
    std::size_t owed = 0;         // acknowledgements of stored or queued samples not yet written
    bool hold_acks = false;       // the last round waited for queue room
    bool streaming = false;       // the producer has sent its first bytes
    const bool in_place = reads_in_place(sender, sample_size);

    for (;;) {
        const bool yield = ++busy_rounds == kBusyRoundsBeforeYield;
        // The owed acknowledgements, tried first and waited for only when
        // the socket is full. A held round reads no more than the room, so
        // its pushes never wait.
        if (owed > 0 && (!hold_acks || yield || sender.queue().size() == sender.queue().capacity())) {
            while (owed > 0) {
                IoResult w = io.try_write(kAcks.data(), std::min(owed, kAcks.size()));
                if (w.would_block()) {
                    co_await io.writable();
                    busy_rounds = 0;
                    continue;
                }
                if (!w.ok()) co_return os_failure(w.error);
                if (w.bytes == 0) co_return Outcome::fail("write zero");
                owed -= w.bytes;
            }
        }
        hold_acks = false;
        if (yield && busy_rounds != 0) {
            busy_rounds = 0;
            co_await runtime::yield_now();
        }
        if (in_place && got == 0) {
            const InPlaceRead read = read_in_place(io.fd(), sender, sample_size);
            if (read.err != 0) co_return os_failure(read.err);
            if (read.fell_short) co_return Outcome::fail("fewer bytes than the socket reported");
            if (read.samples > 0) {
                streaming = true;
                owed += read.samples;
                continue;  // acknowledge them, then look for more
            }
        }
        const std::size_t want = std::min(read_ahead(sender, sample_size), span);
        while (num_held < want) {
            // Before the producer's first bytes nothing is taken, not even
            // a free buffer that other connections gave back.
            std::optional<SampleBuffer> pooled;
            if (streaming) pooled = sender.take_buffer();
            if (!pooled) {
                if (num_held == 0) {
                    // Nothing pooled and nothing held: a new buffer would be
                    // allocated (or this connection has not started). Wait
                    // until the producer has sent something first, so that a
                    // connection that stays silent holds no sample buffer
                    // (1,000 idle connections must not cost 1,000 samples of
                    // memory). This happens only at the start and while the
                    // pool grows to its working set, never per sample once
                    // buffers circulate.
                    for (;;) {
                        std::uint8_t probe = 0;
                        const ssize_t r = ::recv(io.fd(), &probe, 1, MSG_PEEK);  // looks, takes nothing
                        if (r > 0) break;
                        const int err = errno;
                        if (r < 0 && err == EINTR) continue;
                        if (r < 0 && err != EAGAIN && err != EWOULDBLOCK) co_return os_failure(err);
                        if (owed > 0) {
                            Outcome acks = co_await write_acks(io, std::exchange(owed, 0));
                            if (acks.error) co_return acks;
                        }
                        if (r == 0) co_return Outcome::ok();  // end of stream at a sample boundary
                        co_await io.readable();
                        busy_rounds = 0;
                    }
                    streaming = true;
                }
                pooled = sender.take_or_allocate(sample_size);
            }
            held[num_held++] = std::move(*pooled);
        }

        // Buffers held beyond `want` (the room or the span shrank since they
        // were taken) wait for a later read.
        const std::size_t num_read = std::min(num_held, want);
        segments[0] = iovec{held[0].data() + got, sample_size - got};
        std::size_t asked = sample_size - got;
        for (std::size_t i = 1; i < num_read; ++i) {
            segments[i] = iovec{held[i].data(), sample_size};
            asked += sample_size;
        }
        IoResult r = io.try_readv(segments.data(), static_cast<int>(num_read));
        if (r.would_block()) {
            if (owed > 0) continue;  // the next round writes them (hold_acks is clear)
            co_await io.readable();
            busy_rounds = 0;
            continue;
        }
        if (!r.ok()) co_return os_failure(r.error);
        if (r.bytes == 0) {
            // End of stream; a partial sample is dropped. A producer that
            // shut down only its sending side still gets every
            // acknowledgement it is owed.
            if (owed > 0) {
                Outcome acks = co_await write_acks(io, std::exchange(owed, 0));
                if (acks.error) co_return acks;
            }
            co_return Outcome::ok();
        }
        const std::size_t reached = (got + r.bytes + sample_size - 1) / sample_size;  // buffers written
        span = r.bytes == asked ? std::min(2 * span, kMaxReadAhead) : reached;
        got += r.bytes;
        const std::size_t complete = got / sample_size;
        got %= sample_size;
        if (complete == 0) continue;

        // Store the complete samples directly while the sender may (its
        // queue and its drainer hold none of its samples, and the ring has
        // room), and queue the rest in stream order. The push loop is
        // inline so that a sample costs no coroutine frame; the ticket is
        // taken before each attempt, so the drainer's wake-up between a
        // failed attempt and the wait is not lost.
        const std::size_t stored = sender.try_store(std::span<SampleBuffer>(held.data(), complete));
        owed += stored;
        for (std::size_t i = stored; i < complete; ++i) {
            TransportQueueItem item = sender.make_item(std::move(held[i]));
            for (;;) {
                runtime::Ticket ticket = sender.space_notify().ticket();
                if (sender.try_push(item)) break;
                if (owed > 0) {  // not expected (see the top of the loop); never wait owing
                    Outcome acks = co_await write_acks(io, std::exchange(owed, 0));
                    if (acks.error) co_return acks;
                    continue;  // with a new ticket: the wake-up may have come meanwhile
                }
                co_await ticket;
                hold_acks = true;
                busy_rounds = 0;
            }
            ++owed;
        }
        // The partly filled buffer and the unused ones move to the front.
        std::move(held.begin() + static_cast<std::ptrdiff_t>(complete),
                  held.begin() + static_cast<std::ptrdiff_t>(num_held), held.begin());
        num_held -= complete;
    }
}

Task<void> connection_task(IoHandle io, sockaddr_in peer, std::vector<std::uint8_t> handshake,
                           std::size_t sample_size, SampleSender sender) {
    const EndsSocket ends(io);
    Outcome outcome;
    try {
        outcome = co_await handle_connection(io, peer, handshake, sample_size, sender);
    } catch (const std::bad_alloc&) {
        // A sample buffer or a coroutine frame this connection needed: the
        // connection ends with an error, the server goes on.
        outcome = os_failure(ENOMEM);
    }
    // Leaving by any route: release the sender, close the stream, free the
    // handshake copy; then report.
    { SampleSender gone = std::move(sender); }
    // A failed close of a socket we are done with has no one to tell.
    end_socket(io.fd());
    (void)io.close();
    std::vector<std::uint8_t>().swap(handshake);
    if (outcome.error) {
        const OsText os(outcome.err);
        log_line({"TCP connection error from ", peer_text(peer).text, ": ", outcome.text ? outcome.text : os.text});
    }
}

// The listening socket from its creation until the server task adopts it: a
// failed start, or a task destroyed before it ever ran (a shutdown right after
// start), must still close it.
class OwnedFd {
public:
    explicit OwnedFd(int fd) noexcept : fd_(fd) {}
    OwnedFd(OwnedFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    OwnedFd(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd_ < 0) return;
        end_socket(fd_);
        ::close(fd_);  // nothing to report to: the socket was never served
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

bool accept_error_recurs(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

Task<void> run_server(OwnedFd listen_fd, std::vector<ArraySpec> specs, std::shared_ptr<DrainerPool> pool,
                      runtime::OneshotReceiver shutdown_signal) {
    std::vector<std::uint8_t> handshake;
    try {
        handshake = encode_handshake(specs);
    } catch (const std::bad_alloc&) {
        log_line({"TCP server error: ", OsText(ENOMEM).text});
        co_return;  // the listener closes with `listen_fd`: connections are refused
    }
    const std::size_t sample_size = static_cast<std::size_t>(ravo::sample_size(specs));
    runtime::Runtime* rt = runtime::Runtime::current();
    auto adopted = IoHandle::adopt(*rt, listen_fd.release());  // closes it on failure
    if (!adopted) {
        log_line({"TCP server error: ", adopted.error().message});
        co_return;
    }
    IoHandle listener = std::move(adopted).value();
    const EndsSocket ends(listener);

    // The accept loop, waiting for the listener and the shutdown signal at
    // the same time: whichever comes first wins, and a fired signal ends the
    // task and closes the listener.
    std::size_t accepted_in_a_row = 0;
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(listener.fd(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                accepted_in_a_row = 0;
                if (co_await listener.readable_or(shutdown_signal) == runtime::WaitResult::Signalled) break;
                continue;
            }
            if (err == EINTR) continue;
            log_line({"TCP accept error: ", OsText(err).text});
            if (accept_error_recurs(err)) co_await runtime::sleep_for(kAcceptBackoff);
            continue;
        }
        auto stream = IoHandle::adopt(*rt, fd);  // closes fd on failure
        if (!stream) {
            log_line({"TCP accept error: ", stream.error().message});
            continue;
        }
        // Out of memory for this connection (its producer queue, with an
        // absurd producer_queue_size; the handshake's copy; the task's
        // frame) refuses this connection, not the server. A failed spawn
        // destroys what it was given, and the stream's handle closes it.
        try {
            SampleSender sender = pool->new_sender();
            rt->spawn(connection_task(std::move(stream).value(), peer, handshake, sample_size, std::move(sender)));
        } catch (const std::bad_alloc&) {
            log_line({"TCP accept error: ", OsText(ENOMEM).text});
        }
        // A flood of connections must not keep this worker from the tasks
        // it has just spawned: give way now and then.
        if (++accepted_in_a_row == kBusyRoundsBeforeYield) {
            accepted_in_a_row = 0;
            co_await runtime::yield_now();
        }
    }
    end_socket(listener.fd());
    (void)listener.close();  // as above: nothing left to serve
}

}  // namespace

TcpTransport::TcpTransport(std::vector<ArraySpec> specs, std::shared_ptr<DrainerPool> pool, std::size_t num_threads,
                           std::uint16_t port)
    : specs_(std::move(specs)), pool_(std::move(pool)), num_threads_(num_threads), configured_port_(port) {}

TcpTransport::~TcpTransport() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!state_) return;
    state_->runtime.reset();
    state_->shutdown_signal.reset();
    state_.reset();
}

Status TcpTransport::start() {
    std::lock_guard<std::mutex> lock(mu_);
    if (state_) return Error::state("TCP server already started");

    // The listener is owned from its creation on, so every failure below,
    // an exception included, closes it before start() returns: a failed
    // start never leaves the port bound.
    OwnedFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = listener.get();
    if (fd < 0) return Error::system(runtime::os_error_text(errno));
    auto fail = [](int err) -> Status { return Error::system(runtime::os_error_text(err)); };
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return fail(errno);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(configured_port_);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return fail(errno);
    if (::listen(fd, 128) != 0) return fail(errno);
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return fail(errno);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) return fail(errno);

    auto rt = runtime::Runtime::create("tcp", num_threads_);
    if (!rt) return std::move(rt).error();
    auto [signal_tx, signal_rx] = runtime::make_oneshot();
    State st;
    st.runtime = std::move(rt).value();
    st.shutdown_signal.emplace(std::move(signal_tx));
    st.port = ntohs(bound.sin_port);
    st.runtime->spawn(run_server(std::move(listener), specs_, pool_, std::move(signal_rx)));
    state_.emplace(std::move(st));
    return {};
}

void TcpTransport::shutdown() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!state_) return;
    if (state_->shutdown_signal) {
        state_->shutdown_signal->send();
        state_->shutdown_signal.reset();
    }
    // Cancels every task at its wait point (closing every connection and the
    // listener) and joins every "tcp" thread.
    state_->runtime.reset();
    state_.reset();
}

std::optional<std::uint16_t> TcpTransport::port() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!state_) return std::nullopt;
    return state_->port;
}

}  // namespace ravo::transport::tcp

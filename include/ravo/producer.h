// Producer client for a ravo server's TCP transport: header-only, blocking,
// POSIX sockets, no exceptions.
//
// The exchange on one connection: the server first sends the handshake
// ("RAVO", version byte 1, u32 leaf count, then per leaf u32 element size,
// u32 ndim and ndim u32 dims, all little-endian); the producer then sends
// samples of exactly sample_size() bytes each (the leaves back to back, no
// header), and the server answers every queued sample with one byte 0x01.
// The producer ends the stream by closing the connection.
//
// Contract:
// - A `Producer` belongs to one thread at a time; it has no internal locking.
//   Run one producer per thread for parallel streams.
// - Every operation that can fail returns `Status` / `Result<T>`; nothing
//   throws (allocation failure aside). Errors carry the acknowledgement count
//   at the time of the failure.
// - `send` writes at once while fewer than `window` samples are
//   unacknowledged: one system call per sample. `send_many` writes samples
//   that are already packed back to back with one system call for as many
//   as the window has room for; `send_stacked` packs samples given leaf by
//   leaf (a vectorised environment's step) and sends them the same way.
//   Acknowledgements are read
//   only when they are needed: when the window is full (all that have
//   arrived, in one recv), while a full socket buffer holds a write up, by
//   `flush()`, and by `poll_acks()`. So `acked()` may lag behind the server
//   until one of those runs; call `poll_acks()` for a current count.
// - Every wait is bounded by `Options::timeout_ms` when it is non-negative:
//   the connect, the whole handshake, and any stretch without progress while
//   writing samples or waiting for acknowledgements (each byte written, each
//   byte the peer takes from the send buffer and each acknowledgement
//   received starts the clock again, so a slow server that keeps reading
//   never times out a large sample). A timeout
//   leaves the producer usable unless it struck in the middle of a sample;
//   any other failure makes the stream unusable, and later calls return the
//   same error until `close()`.
// - The socket is non-blocking and written with MSG_NOSIGNAL: a vanished
//   server gives an error, never SIGPIPE.
#pragma once

#include <fcntl.h>
#include <netdb.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#if __has_include(<linux/sockios.h>)
#include <linux/sockios.h>  // SIOCOUTQ
#endif
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace ravo::producer {

// The most buffers one sendmsg() takes. <climits> names IOV_MAX only in GNU
// or X/Open mode; Linux's value stands in otherwise.
#ifdef IOV_MAX
inline constexpr std::size_t kMaxIovecs = IOV_MAX;
#else
inline constexpr std::size_t kMaxIovecs = 1024;
#endif

// The error and result types are local to this header (rather than the
// core's ravo::Result) so that a producer program needs nothing but this one
// file; their shape (ok(), value(), error()) matches the core's.

enum class ErrorCode {
    InvalidArgument,  // a call's arguments do not fit the layout or the options
    Connect,          // name resolution or connection failed
    Protocol,         // the peer broke the protocol (handshake or acknowledgement)
    Closed,           // the server closed or reset the connection
    Timeout,          // a wait exceeded Options::timeout_ms
    Io,               // any other system call failure
    State,            // the producer is closed
};

inline const char* to_string(ErrorCode code) noexcept {
    switch (code) {
        case ErrorCode::InvalidArgument: return "invalid argument";
        case ErrorCode::Connect: return "connect";
        case ErrorCode::Protocol: return "protocol";
        case ErrorCode::Closed: return "closed";
        case ErrorCode::Timeout: return "timeout";
        case ErrorCode::Io: return "io";
        case ErrorCode::State: return "state";
    }
    return "unknown";
}

struct Error {
    ErrorCode code = ErrorCode::Io;
    std::string message;
    // Counters of the producer when the error arose.
    std::uint64_t sent = 0;
    std::uint64_t acked = 0;
};

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const& noexcept { return error_; }

private:
    Error error_;
    bool failed_ = false;
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const noexcept { return value_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }
    const Error& error() const& noexcept { return error_; }

private:
    std::optional<T> value_;
    Error error_;
};

inline constexpr unsigned char kMagic[4] = {0x52, 0x41, 0x56, 0x4F};  // "RAVO"
inline constexpr std::uint8_t kVersion = 1;
inline constexpr unsigned char kAck = 0x01;
inline constexpr std::uint32_t kDefaultWindow = 64;
// send_stacked packs at most this many bytes (or one sample, if larger) at a time.
inline constexpr std::uint64_t kStackChunkBytes = std::uint64_t{4} << 20;

// One leaf of the sample layout, as the handshake describes it.
struct Leaf {
    std::uint64_t dtype_size = 0;       // bytes per element
    std::vector<std::uint64_t> shape;   // empty for a scalar leaf
    std::uint64_t nbytes = 0;           // product of shape times dtype_size
};

struct Options {
    // Most samples sent but not yet acknowledged; at least 1.
    std::uint32_t window = kDefaultWindow;
    // Bound on every single wait, in milliseconds (see the contract above);
    // negative waits for ever, 0 polls once.
    int timeout_ms = -1;
};

class Producer {
public:
    // Connects to host:port (any address the name resolves to, in order;
    // over loopback not with BBR, see avoid_pacing_on_loopback), sets
    // TCP_NODELAY and reads and checks the handshake.
    static Result<Producer> connect(const std::string& host, std::uint16_t port,
                                    Options options = {});

    Producer(Producer&& other) noexcept { take(other); }
    Producer& operator=(Producer&& other) noexcept {
        if (this != &other) {
            release_fd();
            take(other);
        }
        return *this;
    }
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;
    // Closes without waiting for acknowledgements (call close() to flush).
    ~Producer() { release_fd(); }

    const std::vector<Leaf>& layout() const noexcept { return layout_; }
    std::uint64_t sample_size() const noexcept { return sample_size_; }
    std::uint32_t window() const noexcept { return window_; }
    std::uint64_t sent() const noexcept { return sent_; }
    std::uint64_t acked() const noexcept { return acked_; }
    std::uint64_t outstanding() const noexcept { return sent_ - acked_; }
    bool is_open() const noexcept { return fd_ >= 0; }
    int native_handle() const noexcept { return fd_; }
    const std::string& peer() const noexcept { return peer_; }

    // Sends one whole sample: sample_size() bytes at `sample`.
    Status send(const void* sample) {
        iovec one{const_cast<void*>(sample), static_cast<std::size_t>(sample_size_)};
        return write_sample(&one, 1);
    }

    // Sends one sample given leaf by leaf, in layout order. The leaf count
    // and every leaf's byte length are checked before anything is written,
    // so an InvalidArgument error leaves the stream intact.
    Status send_leaves(std::span<const std::span<const std::byte>> leaves) {
        if (Status s = usable(); !s) return s;
        if (leaves.size() != layout_.size()) {
            return invalid("sample has " + std::to_string(leaves.size()) +
                           " leaves, the layout has " + std::to_string(layout_.size()));
        }
        std::size_t count = 0;
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            if (leaves[i].size() != layout_[i].nbytes) {
                return invalid("leaf " + std::to_string(i) + ": " +
                               std::to_string(leaves[i].size()) + " bytes given, the layout needs " +
                               std::to_string(layout_[i].nbytes) + " bytes");
            }
            if (!leaves[i].empty()) {
                // iov_ was sized at connect time: no allocation per sample.
                iov_[count++] = iovec{const_cast<std::byte*>(leaves[i].data()), leaves[i].size()};
            }
        }
        return write_sample(iov_.data(), count);
    }

    // Sends `count` whole samples packed back to back at `samples`
    // (count * sample_size() bytes), in order. Each write waits for room for
    // a good share of what is left (a quarter of the window at least), so
    // that acknowledgements arriving one at a time do not turn into one
    // write per sample. Blocks while the window is full. If a write fails
    // part way, `sent()` tells how many of the samples were written whole.
    Status send_many(const void* samples, std::size_t count) {
        if (Status s = usable(); !s) return s;
        if (count != 0 && sample_size_ > SIZE_MAX / count) {
            return invalid(std::to_string(count) + " samples of " + std::to_string(sample_size_) +
                           " bytes do not fit in memory");
        }
        const auto* at = static_cast<const std::byte*>(samples);
        const std::uint64_t share = std::max<std::uint64_t>(1, window_ / 4);
        std::uint64_t left = count;
        while (left > 0) {
            const std::uint64_t need = std::min(left, share);
            if (sent_ - acked_ > window_ - need) {
                if (Status s = wait_outstanding_at_most(window_ - need); !s) return s;
            }
            const std::uint64_t take = std::min<std::uint64_t>(left, window_ - (sent_ - acked_));
            const auto bytes = static_cast<std::size_t>(take * sample_size_);
            iovec run{const_cast<std::byte*>(at), bytes};
            if (Status s = write_samples(&run, 1, take); !s) return s;
            at += bytes;
            left -= take;
        }
        return {};
    }

    // Sends `count` samples given leaf by leaf, as a vectorised environment's
    // step returns them: leaves[i] holds the `count` rows of leaf i back to
    // back (count * layout()[i].nbytes bytes). The leaf count and every
    // leaf's length are checked before anything is written, so an
    // InvalidArgument error leaves the stream intact. The rows are packed
    // into whole samples 4 MiB at a time (one sample at a time if a sample is
    // larger) in a scratch buffer the producer keeps, and sent as send_many
    // sends them; if a write fails part way, sent() tells how many of the
    // samples were written whole.
    Status send_stacked(std::span<const std::span<const std::byte>> leaves, std::size_t count) {
        if (Status s = usable(); !s) return s;
        if (leaves.size() != layout_.size()) {
            return invalid("batch has " + std::to_string(leaves.size()) + " leaves, the layout has " +
                           std::to_string(layout_.size()));
        }
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            const std::uint64_t nbytes = layout_[i].nbytes;
            if (count != 0 && nbytes > SIZE_MAX / count) {
                return invalid("leaf " + std::to_string(i) + ": " + std::to_string(count) +
                               " rows of " + std::to_string(nbytes) + " bytes do not fit in memory");
            }
            if (leaves[i].size() != count * nbytes) {
                return invalid("leaf " + std::to_string(i) + ": " + std::to_string(leaves[i].size()) +
                               " bytes given, " + std::to_string(count) + " samples need " +
                               std::to_string(count * nbytes) + " bytes");
            }
        }
        if (count == 0) return {};
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(
            count, std::max<std::uint64_t>(1, kStackChunkBytes / sample_size_)));
        // Grows once to one chunk; later calls of the same size reuse it.
        if (stack_.size() < chunk * sample_size_) stack_.resize(chunk * sample_size_);
        for (std::size_t start = 0; start < count; start += chunk) {
            const std::size_t n = std::min(chunk, count - start);
            std::byte* out = stack_.data();
            for (std::size_t row = start; row < start + n; ++row) {
                for (std::size_t i = 0; i < leaves.size(); ++i) {
                    const std::size_t nbytes = layout_[i].nbytes;
                    if (nbytes == 0) continue;
                    std::memcpy(out, leaves[i].data() + row * nbytes, nbytes);
                    out += nbytes;
                }
            }
            if (Status s = send_many(stack_.data(), n); !s) return s;
        }
        return {};
    }

    // Collects the acknowledgements that have arrived, without waiting.
    Status poll_acks() {
        if (Status s = usable(); !s) return s;
        return read_acks_nowait();
    }

    // Waits until every sent sample is acknowledged.
    Status flush() {
        if (Status s = usable(); !s) return s;
        return wait_outstanding_at_most(0);
    }

    // Closes the connection, first flushing unless `flush` is false or the
    // stream already failed. The descriptor is released in every case; the
    // first failure is returned. Closing a closed producer does nothing.
    Status close(bool flush = true) {
        if (fd_ < 0) return {};
        Status result;
        if (flush && !broken_) result = wait_outstanding_at_most(0);
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0 && result.ok()) {
            result = make_error(ErrorCode::Io, std::string("close: ") + std::strerror(errno));
        }
        return result;
    }

private:
    Producer() = default;

    using Clock = std::chrono::steady_clock;

    // Moves every member; `other` is left closed.
    void take(Producer& other) noexcept {
        fd_ = std::exchange(other.fd_, -1);
        window_ = other.window_;
        timeout_ms_ = other.timeout_ms_;
        sample_size_ = other.sample_size_;
        sent_ = other.sent_;
        acked_ = other.acked_;
        layout_ = std::move(other.layout_);
        iov_ = std::move(other.iov_);
        stack_ = std::move(other.stack_);
        peer_ = std::move(other.peer_);
        broken_ = std::move(other.broken_);
    }

    void release_fd() noexcept {
        if (fd_ < 0) return;
        // Linux frees the descriptor even when close() reports an error;
        // with no caller to hand it to, the failure is one line on stderr.
        if (::close(std::exchange(fd_, -1)) != 0) {
            std::fprintf(stderr, "ravo producer: close: %s\n", std::strerror(errno));
        }
    }

    Error make_error(ErrorCode code, std::string message) const {
        return Error{code, std::move(message), sent_, acked_};
    }
    Status invalid(std::string message) const {
        return make_error(ErrorCode::InvalidArgument, std::move(message));
    }
    // Records the error as the stream's permanent failure and returns it.
    Status fail(ErrorCode code, std::string message) {
        broken_ = make_error(code, std::move(message));
        return *broken_;
    }
    Status usable() const {
        if (fd_ < 0) return make_error(ErrorCode::State, "operation on a closed producer");
        if (broken_) return *broken_;
        return {};
    }
    std::string closed_text(const char* reason = nullptr) const {
        std::string t = "server closed the connection after " + std::to_string(acked_) + " of " +
                         std::to_string(sent_) + " samples were acknowledged";
        if (reason != nullptr) t += std::string(" (") + reason + ")";
        return t;
    }

    std::optional<Clock::time_point> deadline() const {
        if (timeout_ms_ < 0) return std::nullopt;
        return Clock::now() + std::chrono::milliseconds(timeout_ms_);
    }

    // poll() on the socket until `events` (POLLHUP/POLLERR always count) or
    // the deadline; returns the reported events, 0 on timeout, -1 with errno.
    // A deadline already past still polls once, so a timeout of 0 takes what
    // is ready instead of failing unseen. One poll waits at most 2^30 ms; a
    // later deadline polls again rather than time out early.
    int wait_for(short events, const std::optional<Clock::time_point>& until) const {
        for (;;) {
            int ms = -1;
            if (until) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now());
                ms = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1 << 30));
            }
            pollfd p{fd_, events, 0};
            const int r = ::poll(&p, 1, ms);
            if (r > 0) return p.revents;
            if (r < 0 && errno != EINTR) return -1;
            if (r == 0 && until && Clock::now() >= *until) return 0;
        }
    }

    // Bytes in the send buffer that the peer has not taken yet, or -1 where
    // the system cannot tell. A drop is progress even while the socket stays
    // unwritable: Linux reports it writable only once a third of the send
    // buffer is free, which a slow reader can take longer than the timeout
    // to reach.
    long unsent_bytes() const noexcept {
#ifdef SIOCOUTQ
        int n = 0;
        if (::ioctl(fd_, SIOCOUTQ, &n) == 0) return n;
#endif
        return -1;
    }

    // Counts a run of acknowledgement bytes; anything but 0x01, or more
    // acknowledgements than samples sent, is a protocol error.
    Status take_acks(const unsigned char* buf, std::size_t n) {
        unsigned bad = 0;
        for (std::size_t i = 0; i < n; ++i) bad |= static_cast<unsigned>(buf[i] ^ kAck);
        std::size_t good = n;  // length of the run of valid acknowledgements
        if (bad != 0) {
            good = 0;
            while (buf[good] == kAck) ++good;
        }
        if (good > sent_ - acked_) {
            // Every sample sent was acknowledged before the surplus: they count.
            const std::uint64_t claimed = acked_ + good;
            acked_ = sent_;
            return fail(ErrorCode::Protocol, "server " + peer_ + " sent " + std::to_string(claimed) +
                                                 " acknowledgements for " + std::to_string(sent_) +
                                                 " samples");
        }
        acked_ += good;
        if (good < n) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(buf[good]));
            return fail(ErrorCode::Protocol, "expected acknowledgement byte 0x01 from " + peer_ +
                                                 ", received " + hex + " after " +
                                                 std::to_string(acked_) + " of " +
                                                 std::to_string(sent_) +
                                                 " samples were acknowledged");
        }
        return {};
    }

    // Reads every acknowledgement already in the socket, without waiting.
    Status read_acks_nowait() {
        unsigned char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                if (Status s = take_acks(buf, static_cast<std::size_t>(n)); !s) return s;
                if (static_cast<std::size_t>(n) < sizeof buf) return {};
                continue;
            }
            if (n == 0) return fail(ErrorCode::Closed, closed_text());
            if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
            if (errno == EINTR) continue;
            return fail(ErrorCode::Closed, closed_text(std::strerror(errno)));
        }
    }

    Status wait_outstanding_at_most(std::uint64_t limit) {
        auto until = deadline();
        long unsent = until ? unsent_bytes() : -1;
        while (sent_ - acked_ > limit) {
            const std::uint64_t before = acked_;
            const int ev = wait_for(POLLIN, until);
            if (ev == 0) {
                // The peer still taking the last samples' bytes is progress too.
                if (const long now = unsent_bytes(); now >= 0 && now < unsent) {
                    until = deadline();
                    unsent = now;
                    continue;
                }
                return make_error(ErrorCode::Timeout,
                                  "timed out after " + std::to_string(timeout_ms_) +
                                      " ms waiting for acknowledgements (" + std::to_string(acked_) +
                                      " of " + std::to_string(sent_) + " samples acknowledged)");
            }
            if (ev < 0) return fail(ErrorCode::Io, std::string("poll: ") + std::strerror(errno));
            if (Status s = read_acks_nowait(); !s) return s;
            if (acked_ != before && until) {  // progress: the clock starts again
                until = deadline();
                unsent = unsent_bytes();
            }
        }
        return {};
    }

    // The error for a write that failed with `err`: acknowledgements that
    // arrived before the failure are collected first so the count is right.
    Status write_failed(int err) {
        if (Status s = read_acks_nowait(); !s) return s;
        if (err == EPIPE || err == ECONNRESET || err == ENOTCONN) {
            return fail(ErrorCode::Closed, closed_text(std::strerror(err)));
        }
        return fail(ErrorCode::Io, std::string("send: ") + std::strerror(err) + " (" +
                                       std::to_string(acked_) + " of " + std::to_string(sent_) +
                                       " samples acknowledged)");
    }

    // Writes one sample (non-empty iovecs, modified in place) once the window
    // allows it. Acknowledgements are not read afterwards: that would be a
    // second system call per sample, and the window wait reads them in bulk.
    Status write_sample(iovec* iov, std::size_t count) {
        if (Status s = usable(); !s) return s;
        if (sent_ - acked_ >= window_) {
            if (Status s = wait_outstanding_at_most(window_ - 1); !s) return s;
        }
        return write_samples(iov, count, 1);
    }

    // Writes `samples` whole samples given as non-empty iovecs (modified in
    // place); the window already has room for all of them. `sent_` counts a
    // sample as soon as its last byte is written, so it is exact after a
    // failure part way. A timeout at a sample boundary leaves the stream
    // usable; inside a sample it cannot be resumed.
    Status write_samples(iovec* iov, std::size_t count, std::uint64_t samples) {
        std::optional<Clock::time_point> until;  // set at a wait, cleared by progress
        long unsent = -1;                         // unsent_bytes() when `until` was set
        const std::uint64_t base = sent_;
        std::uint64_t written = 0;
        std::size_t i = 0;
        while (i < count) {
            ssize_t n;
            if (count - i == 1) {
                n = ::send(fd_, iov[i].iov_base, iov[i].iov_len, MSG_NOSIGNAL | MSG_DONTWAIT);
            } else {
                msghdr msg{};
                msg.msg_iov = iov + i;
                msg.msg_iovlen = std::min<std::size_t>(count - i, kMaxIovecs);
                n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) return write_failed(errno);
                // The socket buffer is full. Keep reading acknowledgements
                // meanwhile: with a window larger than our receive buffer the
                // server could otherwise block writing acks and stop reading,
                // and both ends would wait for ever.
                if (!until) {
                    until = deadline();
                    unsent = unsent_bytes();
                }
                const int ev = wait_for(POLLOUT | POLLIN, until);
                if (ev == 0) {
                    if (const long now = unsent_bytes(); now >= 0 && now < unsent) {
                        until = deadline();  // the peer took bytes meanwhile: progress
                        unsent = now;
                        continue;
                    }
                    std::string text = "timed out after " + std::to_string(timeout_ms_) +
                                       " ms waiting to send a sample (" + std::to_string(acked_) +
                                       " of " + std::to_string(sent_) + " samples acknowledged)";
                    if (written % sample_size_ == 0) return make_error(ErrorCode::Timeout, std::move(text));
                    return fail(ErrorCode::Timeout,
                                text + "; the sample was partially written and the stream can "
                                       "no longer be used");
                }
                if (ev < 0) return fail(ErrorCode::Io, std::string("poll: ") + std::strerror(errno));
                if (ev & (POLLIN | POLLHUP | POLLERR)) {
                    if (Status s = read_acks_nowait(); !s) return s;
                }
                continue;
            }
            until.reset();  // progress: the next wait gets the whole timeout again
            auto left = static_cast<std::size_t>(n);
            written += left;
            sent_ = base + written / sample_size_;
            while (left > 0) {
                if (left >= iov[i].iov_len) {
                    left -= iov[i].iov_len;
                    ++i;
                } else {
                    iov[i].iov_base = static_cast<char*>(iov[i].iov_base) + left;
                    iov[i].iov_len -= left;
                    left = 0;
                }
            }
        }
        sent_ = base + samples;
        return {};
    }

    // Handshake reads: exactly `n` bytes into `out`. With `check_magic`,
    // `out` is the start of the handshake and its first bytes are compared
    // with the magic as they arrive, so that a peer which is no ravo server
    // is named at once, not after a timeout waiting for bytes it never sends.
    Status recv_exact(void* out, std::size_t n, const std::optional<Clock::time_point>& until,
                      std::size_t& got_total, bool check_magic = false) {
        auto* const start = static_cast<unsigned char*>(out);
        auto* p = start;
        while (n > 0) {
            const ssize_t r = ::recv(fd_, p, n, MSG_DONTWAIT);
            if (r > 0) {
                p += r;
                n -= static_cast<std::size_t>(r);
                got_total += static_cast<std::size_t>(r);
                const auto have = static_cast<std::size_t>(p - start);
                if (check_magic && std::memcmp(start, kMagic, std::min<std::size_t>(have, 4)) != 0) {
                    return magic_error(start, std::min<std::size_t>(have, 4));
                }
                continue;
            }
            if (r == 0) {
                return make_error(ErrorCode::Closed,
                                  "server " + peer_ + " closed the connection during the handshake "
                                                      "after " +
                                      std::to_string(got_total) + " bytes");
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return make_error(ErrorCode::Closed, "connection to " + peer_ +
                                                         " failed during the handshake: " +
                                                         std::strerror(errno));
            }
            const int ev = wait_for(POLLIN, until);
            if (ev == 0) {
                return make_error(ErrorCode::Timeout, "timed out after " +
                                                          std::to_string(timeout_ms_) +
                                                          " ms waiting for the handshake from " +
                                                          peer_);
            }
            if (ev < 0) return make_error(ErrorCode::Io, std::string("poll: ") + std::strerror(errno));
        }
        return {};
    }

    static std::uint32_t le32(const unsigned char* p) {
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    }

    static std::string hex_bytes(const unsigned char* p, std::size_t n) {
        std::string s;
        char b[4];
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(b, sizeof b, i ? " %02x" : "%02x", static_cast<unsigned>(p[i]));
            s += b;
        }
        return s;
    }

    Status magic_error(const unsigned char* received, std::size_t n) {
        return make_error(ErrorCode::Protocol, "not a ravo server at " + peer_ + ": expected magic " +
                                                   hex_bytes(kMagic, 4) + " (\"RAVO\"), received " +
                                                   hex_bytes(received, n));
    }

    Status read_handshake() {
        const auto until = deadline();
        std::size_t got = 0;
        unsigned char head[9];
        if (Status s = recv_exact(head, sizeof head, until, got, true); !s) return s;
        if (head[4] != kVersion) {
            return make_error(ErrorCode::Protocol,
                              "unsupported ravo protocol version from " + peer_ + ": expected " +
                                  std::to_string(kVersion) + ", received " +
                                  std::to_string(static_cast<unsigned>(head[4])));
        }
        const std::uint32_t count = le32(head + 5);
        // The count is untrusted: grow with the records actually received.
        layout_.reserve(std::min<std::uint32_t>(count, 4096));
        std::uint64_t total = 0;
        bool overflow = false;
        for (std::uint32_t leaf = 0; leaf < count; ++leaf) {
            unsigned char rec[8];
            if (Status s = recv_exact(rec, sizeof rec, until, got); !s) return s;
            Leaf l;
            l.dtype_size = le32(rec);
            std::uint32_t ndim = le32(rec + 4);
            l.nbytes = l.dtype_size;
            // A zero anywhere makes the leaf empty, however large the
            // product of the dimensions before it: only a nonzero leaf can
            // overflow.
            bool empty = l.dtype_size == 0;
            bool leaf_overflow = false;
            unsigned char dims[256];
            while (ndim > 0) {
                const std::uint32_t chunk = std::min<std::uint32_t>(ndim, sizeof dims / 4);
                if (Status s = recv_exact(dims, chunk * 4u, until, got); !s) return s;
                for (std::uint32_t d = 0; d < chunk; ++d) {
                    const std::uint64_t dim = le32(dims + 4 * d);
                    l.shape.push_back(dim);
                    empty |= dim == 0;
                    leaf_overflow |= __builtin_mul_overflow(l.nbytes, dim, &l.nbytes);
                }
                ndim -= chunk;
            }
            if (empty) l.nbytes = 0;
            overflow |= leaf_overflow && !empty;
            overflow |= __builtin_add_overflow(total, l.nbytes, &total);
            layout_.push_back(std::move(l));
        }
        // A product that wrapped would make the two ends disagree on where
        // samples start, so such a layout is refused rather than wrapped.
        if (overflow) {
            return make_error(ErrorCode::Protocol,
                              "the server's sample size does not fit in 64 bits");
        }
        if (total == 0) {
            return make_error(ErrorCode::Protocol,
                              "the server's sample layout has a sample size of 0 bytes; no sample "
                              "can be sent");
        }
        if (total > static_cast<std::uint64_t>(SSIZE_MAX)) {
            return make_error(ErrorCode::Protocol, "the server's sample size of " +
                                                       std::to_string(total) +
                                                       " bytes is too large for this machine");
        }
        sample_size_ = total;
        iov_.resize(layout_.size());
        return {};
    }

    int fd_ = -1;
    std::uint32_t window_ = kDefaultWindow;
    int timeout_ms_ = -1;
    std::uint64_t sample_size_ = 0;
    std::uint64_t sent_ = 0;   // samples whose bytes were completely written
    std::uint64_t acked_ = 0;  // acknowledgement bytes received
    std::vector<Leaf> layout_;
    std::vector<iovec> iov_;  // scratch for send_leaves, one entry per leaf
    std::vector<std::byte> stack_;  // scratch for send_stacked: packed samples, one chunk
    std::string peer_;        // "host:port" for error texts
    std::optional<Error> broken_;
};

namespace detail {

// True for a loopback address: 127.0.0.0/8, ::1, or 127.0.0.0/8 mapped into
// IPv6.
inline bool is_loopback(const sockaddr* addr) noexcept {
    if (addr->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (addr->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

// Called on a socket about to connect to `addr`. BBR paces each connection
// from a timer. Over loopback, the paced segments enter the receiving side
// from another CPU than the sender's own writes and arrive out of order; TCP
// reads that as loss, retransmits and shrinks its window, and a pipelined
// stream of large samples runs at half speed or less (64 KiB samples, window
// 64, one connection: about 26K samples/s, against 61K without pacing).
// Loopback has no link to pace for, so such a socket moves to a congestion
// control that does not pace: cubic where the system allows it, else reno,
// which every system allows. It must move before it connects: a connection
// that started on BBR keeps its pacing after a switch, and then does worse
// than with BBR itself when many connections carry small samples. Any other
// choice of the system stands, and so does BBR where neither can be set:
// this is a speed-up, never a reason to fail.
inline void avoid_pacing_on_loopback(int fd, const sockaddr* addr) noexcept {
    if (!is_loopback(addr)) return;
    char name[16] = {};
    socklen_t len = sizeof name - 1;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name, &len) != 0) return;
    if (std::strncmp(name, "bbr", 3) != 0) return;
    for (const char* other : {"cubic", "reno"}) {
        if (::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, other, static_cast<socklen_t>(std::strlen(other))) == 0) {
            return;
        }
    }
}

}  // namespace detail

inline Result<Producer> Producer::connect(const std::string& host, std::uint16_t port,
                                          Options options) {
    Producer p;
    p.window_ = options.window;
    p.timeout_ms_ = options.timeout_ms;
    p.peer_ = host + ":" + std::to_string(port);
    if (options.window == 0) return p.make_error(ErrorCode::InvalidArgument, "window must be >= 1");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        return p.make_error(ErrorCode::Connect,
                            "cannot resolve " + host + ": " + ::gai_strerror(rc));
    }
    std::string last = "no address";
    bool timed_out = false;  // the last address failed by our own deadline
    const auto until = p.deadline();
    for (addrinfo* ai = list; ai != nullptr && p.fd_ < 0; ai = ai->ai_next) {
        timed_out = false;
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                ai->ai_protocol);
        if (fd < 0) {
            last = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        p.fd_ = fd;
        detail::avoid_pacing_on_loopback(fd, ai->ai_addr);
        int err = 0;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS || err == EINTR) {
                const int ev = p.wait_for(POLLOUT, until);
                socklen_t len = sizeof err;
                if (ev == 0) {
                    err = ETIMEDOUT;
                    timed_out = true;
                } else if (ev < 0) {
                    err = errno;
                } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                    err = errno;
                }
            }
        }
        if (err != 0) {
            last = timed_out ? "timed out after " + std::to_string(p.timeout_ms_) + " ms"
                             : std::string(std::strerror(err));
            p.release_fd();
        }
    }
    ::freeaddrinfo(list);
    if (p.fd_ < 0) {
        return p.make_error(timed_out ? ErrorCode::Timeout : ErrorCode::Connect,
                            "cannot connect to " + p.peer_ + ": " + last);
    }
    // Samples smaller than a segment must leave at once, not wait for the
    // previous segment's TCP acknowledgement.
    const int one = 1;
    if (::setsockopt(p.fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        return p.make_error(ErrorCode::Io, std::string("TCP_NODELAY: ") + std::strerror(errno));
    }
    if (Status s = p.read_handshake(); !s) return s.error();
    return p;
}

}  // namespace ravo::producer

// ack_server: the smallest server that speaks the producer protocol, to
// measure the protocol's own limit on a machine (no queue, no store).
//
// Per connection it sends the handshake, then repeatedly reads exactly one
// sample into a per-connection buffer and writes the acknowledgement byte
// 0x01, reading the next sample only after the acknowledgement was written
// (the same system-call pattern as the real server, minus the hand-off).
//
// Usage:
//   ack_server [--host ADDR] [--port N] --leaf SIZE:DIMS [--leaf ...]
//              [--mode thread|epoll] [--threads N]
//   --leaf 4:2,3   element size 4, shape (2, 3); --leaf 8:   a scalar of 8 bytes
//   --host         address to listen on (default 0.0.0.0)
//   --port         0 (default) picks a free port
//   --mode thread  one blocking thread per connection (default)
//   --mode epoll   --threads event-loop threads (default 2), connections
//                  spread over them round-robin
//   --copy-to N    after reading each sample, copy it into a region of N
//                  bytes per serving thread, written round, before the ack
//                  (the copy into batch memory that a real server must make,
//                  done on the same thread: a bound for a server with one
//                  more copy than the protocol needs). Default 0: no copy.
// The first line on stdout is "PORT <n>" (flushed) once it listens. It runs
// until SIGINT/SIGTERM or, when stdin is a pipe, socket or terminal, until
// stdin reaches end of file (stdin from /dev/null or a file is not watched,
// so that a backgrounded server does not exit at once). On exit it writes
// "ack_server: <n> samples acknowledged on <m> connections" to stderr.
//
// Threads: the main thread accepts and watches for the exit conditions;
// connection work runs on the connection threads (thread mode) or event-loop
// threads (epoll mode). Connection errors are one line on stderr and end only
// that connection.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench_cli.h"
#include "runtime/padded.h"
#include "runtime/stream_copy.h"

namespace {

using namespace ravo::bench;  // the command-line pieces in bench_cli.h

struct Config {
    std::string host = "0.0.0.0";
    std::uint16_t port = 0;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint64_t>>> leaves;
    bool epoll_mode = false;
    unsigned threads = 2;
    std::uint64_t copy_to = 0;
};

Config parse_args(int argc, char** argv) {
    Config c;
    for (ArgCursor args(argc, argv); args.step();) {
        const std::string& a = args.flag();
        if (a == "--host") {
            c.host = args.next();
        } else if (a == "--port") {
            c.port = parse_port(args.next(), true);
        } else if (a == "--leaf") {
            const std::string v = args.next();
            const auto colon = v.find(':');
            if (colon == std::string::npos) die("--leaf takes SIZE:DIMS, e.g. 4:2,3 or 8:");
            std::vector<std::uint64_t> dims;
            std::string rest = v.substr(colon + 1);
            while (!rest.empty()) {
                const auto comma = rest.find(',');
                dims.push_back(parse_u64(rest.substr(0, comma), "dimension"));
                rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
            }
            c.leaves.emplace_back(parse_u64(v.substr(0, colon), "element size"), std::move(dims));
        } else if (a == "--mode") {
            const std::string m = args.next();
            if (m != "thread" && m != "epoll") die("--mode is thread or epoll");
            c.epoll_mode = m == "epoll";
        } else if (a == "--threads") {
            // Range-checked before narrowing, so that 2^32 + 1 is not taken as 1.
            const std::uint64_t n = parse_u64(args.next(), "thread count");
            if (n == 0 || n > 1024) die("--threads must be 1..1024");
            c.threads = static_cast<unsigned>(n);
        } else if (a == "--copy-to") {
            c.copy_to = parse_u64(args.next(), "copy region size");
            if (c.copy_to > (std::uint64_t{1} << 40)) die("--copy-to above 1 TiB");
        } else {
            die("unknown argument " + a);
        }
    }
    if (c.leaves.empty()) die("give the layout with one or more --leaf SIZE:DIMS");
    return c;
}

void put32(std::vector<unsigned char>& out, std::uint64_t v) {
    // The handshake carries the low 32 bits of each value.
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::vector<unsigned char> encode_handshake(const Config& c) {
    std::vector<unsigned char> out = {0x52, 0x41, 0x56, 0x4F, 0x01};
    put32(out, c.leaves.size());
    for (const auto& [elem, dims] : c.leaves) {
        put32(out, elem);
        put32(out, dims.size());
        for (auto d : dims) put32(out, d);
    }
    return out;
}

std::uint64_t sample_size_of(const Config& c) {
    std::uint64_t total = 0;
    for (const auto& [elem, dims] : c.leaves) {
        if (elem > 0xFFFFFFFFu) die("element size does not fit in 32 bits");
        std::uint64_t n = elem;
        for (auto d : dims) {
            if (d > 0xFFFFFFFFu) die("dimension does not fit in 32 bits");
            if (__builtin_mul_overflow(n, d, &n)) die("sample size overflows 64 bits");
        }
        if (__builtin_add_overflow(total, n, &total)) die("sample size overflows 64 bits");
    }
    if (total == 0) die("the layout's sample size is 0 bytes");
    if (total > (std::uint64_t{1} << 34)) die("sample size above 16 GiB");
    return total;
}

// Acknowledged-sample counters, one per connection, each alone on its
// block: a connection's thread bumps its own counter per sample (relaxed:
// the only reader is the exit report, which pairs with nothing and needs no
// exact snapshot). The deque never moves its elements; the mutex guards
// only appending and iterating.
std::mutex g_counters_mu;
std::deque<ravo::PaddedU64> g_counters;

std::atomic<std::uint64_t>* new_counter() {
    std::lock_guard lk(g_counters_mu);
    return &g_counters.emplace_back().value;
}

void report_and_exit(int code) {
    std::uint64_t total = 0;
    std::size_t conns = 0;
    {
        std::lock_guard lk(g_counters_mu);
        conns = g_counters.size();
        for (auto& c : g_counters) total += c.value.load(std::memory_order_relaxed);
    }
    std::fprintf(stderr, "ack_server: %llu samples acknowledged on %zu connections\n",
                 static_cast<unsigned long long>(total), conns);
    std::fflush(nullptr);
    // Connection threads may sit in blocking calls: leave without joining.
    std::_Exit(code);
}

void conn_error(const char* what, int err) {
    std::fprintf(stderr, "ack_server: connection %s: %s\n", what, std::strerror(err));
}

bool write_all_blocking(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            conn_error("write", errno);
            return false;
        }
        if (w == 0) {
            std::fprintf(stderr, "ack_server: connection write: write zero\n");
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

void close_fd(int fd) {
    if (::close(fd) != 0) conn_error("close", errno);
}

// The optional copy of each sample into a region written round (--copy-to),
// with the same copy routine the server uses for its batch memory. Owned by
// one serving thread.
class CopySink {
public:
    CopySink(std::uint64_t region, std::uint64_t sample) : sample_(sample) {
        if (region == 0) return;
        slots_ = std::max<std::uint64_t>(1, region / sample);
        mem_.reset(static_cast<std::uint8_t*>(std::calloc(slots_, sample)));
        if (!mem_) die("cannot allocate the --copy-to region");
    }
    void put(const unsigned char* sample) {
        if (!mem_) return;
        ravo::runtime::stream_copy(mem_.get() + next_ * sample_, sample, sample_);
        next_ = next_ + 1 == slots_ ? 0 : next_ + 1;
    }

private:
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::uint64_t sample_;
    std::uint64_t slots_ = 0;
    std::uint64_t next_ = 0;
    std::unique_ptr<std::uint8_t, Free> mem_;
};

// ------------------------------------------------------------ thread mode

void serve_blocking(int fd, const std::vector<unsigned char>* handshake, std::uint64_t size,
                    std::uint64_t copy_to) {
    std::atomic<std::uint64_t>* acked = new_counter();
    CopySink sink(copy_to, size);
    std::vector<unsigned char> buf(size);
    static constexpr unsigned char kAck = 0x01;
    if (write_all_blocking(fd, handshake->data(), handshake->size())) {
        for (;;) {
            std::size_t got = 0;
            bool eof = false;
            while (got < size) {
                const ssize_t r = ::recv(fd, buf.data() + got, size - got, MSG_WAITALL);
                if (r > 0) {
                    got += static_cast<std::size_t>(r);
                } else if (r == 0) {
                    eof = true;
                    break;
                } else if (errno != EINTR) {
                    conn_error("read", errno);
                    eof = true;
                    break;
                }
            }
            if (eof) break;
            sink.put(buf.data());
            if (!write_all_blocking(fd, &kAck, 1)) break;
            acked->fetch_add(1, std::memory_order_relaxed);  // read by report_and_exit
        }
    }
    close_fd(fd);
}

// ------------------------------------------------------------- epoll mode

struct Conn {
    int fd = -1;
    std::vector<unsigned char> buf;
    std::size_t got = 0;
    bool ack_pending = false;  // a sample is complete but its ack not yet written
    std::atomic<std::uint64_t>* acked = nullptr;
};

class EventLoop {
public:
    EventLoop(std::uint64_t sample_size, std::uint64_t copy_to) : size_(sample_size), sink_(copy_to, sample_size) {
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (ep_ < 0) die(std::string("epoll_create1: ") + std::strerror(errno));
        thread_ = std::thread([this] { run(); });
        thread_.detach();  // lives until the process exits
    }

    // Called by the accept thread; epoll_ctl is safe across threads. The Conn
    // is owned by this loop from here on.
    void adopt(int fd) {
        auto* c = new Conn;
        c->fd = fd;
        c->buf.resize(size_);
        c->acked = new_counter();
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.ptr = c;
        if (::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            conn_error("epoll_ctl", errno);
            close_fd(fd);
            delete c;
        }
    }

private:
    void drop(Conn* c) {
        if (::epoll_ctl(ep_, EPOLL_CTL_DEL, c->fd, nullptr) != 0) conn_error("epoll_ctl", errno);
        close_fd(c->fd);
        delete c;
    }

    // Tries to write the pending ack; false when the socket is full (the
    // connection then waits for EPOLLOUT instead of EPOLLIN).
    bool write_ack(Conn* c, bool& dead) {
        static constexpr unsigned char kAck = 0x01;
        for (;;) {
            const ssize_t w = ::send(c->fd, &kAck, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w == 1) {
                c->ack_pending = false;
                c->acked->fetch_add(1, std::memory_order_relaxed);  // read by report_and_exit
                return true;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
            if (w == 0) {
                std::fprintf(stderr, "ack_server: connection write: write zero\n");
            } else {
                conn_error("write", errno);
            }
            dead = true;
            return false;
        }
    }

    void set_events(Conn* c, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = c;
        if (::epoll_ctl(ep_, EPOLL_CTL_MOD, c->fd, &ev) != 0) conn_error("epoll_ctl", errno);
    }

    // Reads samples and writes acks until the socket would block.
    void service(Conn* c) {
        bool dead = false;
        if (c->ack_pending) {
            if (!write_ack(c, dead)) {
                if (dead) drop(c);
                return;
            }
            set_events(c, EPOLLIN | EPOLLRDHUP);
        }
        for (;;) {
            const ssize_t r = ::recv(c->fd, c->buf.data() + c->got, size_ - c->got, MSG_DONTWAIT);
            if (r > 0) {
                c->got += static_cast<std::size_t>(r);
                if (c->got < size_) continue;
                c->got = 0;
                sink_.put(c->buf.data());
                c->ack_pending = true;
                if (!write_ack(c, dead)) {
                    if (dead) {
                        drop(c);
                    } else {
                        set_events(c, EPOLLOUT);
                    }
                    return;
                }
                continue;
            }
            if (r == 0) {
                drop(c);
                return;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            conn_error("read", errno);
            drop(c);
            return;
        }
    }

    void run() {
        epoll_event events[64];
        for (;;) {
            const int n = ::epoll_wait(ep_, events, 64, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                std::fprintf(stderr, "ack_server: epoll_wait: %s\n", std::strerror(errno));
                return;
            }
            for (int i = 0; i < n; ++i) service(static_cast<Conn*>(events[i].data.ptr));
        }
    }

    std::uint64_t size_;
    CopySink sink_;  // touched only by this loop's thread
    int ep_ = -1;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    set_program("ack_server");
    const Config cfg = parse_args(argc, argv);
    const auto* handshake = new std::vector<unsigned char>(encode_handshake(cfg));  // lives to exit
    const std::uint64_t size = sample_size_of(cfg);

    // SIGINT/SIGTERM are taken through a signalfd, so they must be blocked in
    // every thread: block them before any thread starts (threads inherit the
    // mask). SIGPIPE is ignored for good measure; writes use MSG_NOSIGNAL.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &sigs, nullptr) != 0) die("pthread_sigmask failed");
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) die("cannot ignore SIGPIPE");
    const int sfd = ::signalfd(-1, &sigs, SFD_CLOEXEC);
    if (sfd < 0) die(std::string("signalfd: ") + std::strerror(errno));

    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lfd < 0) die(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    if (::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        die(std::string("SO_REUSEADDR: ") + std::strerror(errno));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(cfg.port);
    if (::inet_pton(AF_INET, cfg.host.c_str(), &addr.sin_addr) != 1) die("bad IPv4 address " + cfg.host);
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        die(std::string("bind: ") + std::strerror(errno));
    }
    if (::listen(lfd, 128) != 0) die(std::string("listen: ") + std::strerror(errno));
    socklen_t len = sizeof addr;
    if (::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        die(std::string("getsockname: ") + std::strerror(errno));
    }
    std::printf("PORT %u\n", static_cast<unsigned>(ntohs(addr.sin_port)));
    if (std::fflush(stdout) != 0) die("cannot write to stdout");

    std::vector<std::unique_ptr<EventLoop>> loops;
    if (cfg.epoll_mode) {
        for (unsigned i = 0; i < cfg.threads; ++i) loops.push_back(std::make_unique<EventLoop>(size, cfg.copy_to));
    }

    struct stat st{};
    const bool watch_stdin = ::fstat(STDIN_FILENO, &st) == 0 &&
                             (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || ::isatty(STDIN_FILENO));
    pollfd fds[3] = {{lfd, POLLIN, 0}, {sfd, POLLIN, 0}, {watch_stdin ? STDIN_FILENO : -1, POLLIN, 0}};
    std::size_t next_loop = 0;
    for (;;) {
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            die(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents != 0) report_and_exit(0);
        if (fds[2].revents != 0) {
            char sink[256];
            const ssize_t r = ::read(STDIN_FILENO, sink, sizeof sink);
            if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) report_and_exit(0);
        }
        if (fds[0].revents == 0) continue;
        const int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "ack_server: accept: %s\n", std::strerror(errno));
            continue;
        }
        if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
            conn_error("TCP_NODELAY", errno);
            close_fd(fd);
            continue;
        }
        if (!cfg.epoll_mode) {
            try {
                std::thread(serve_blocking, fd, handshake, size, cfg.copy_to).detach();
            } catch (const std::system_error& e) {
                std::fprintf(stderr, "ack_server: cannot start a connection thread: %s\n", e.what());
                close_fd(fd);
            }
            continue;
        }
        // The handshake is written while the socket still blocks; it is
        // small and nothing else is on the connection yet.
        if (!write_all_blocking(fd, handshake->data(), handshake->size())) {
            close_fd(fd);
            continue;
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            conn_error("O_NONBLOCK", errno);
            close_fd(fd);
            continue;
        }
        loops[next_loop]->adopt(fd);
        next_loop = (next_loop + 1) % loops.size();
    }
}

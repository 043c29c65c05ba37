// In-place reads of whole samples; see in_place_read.h.
#include "transport/tcp/in_place_read.h"

#include <sys/ioctl.h>
#include <sys/uio.h>

#include <climits>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace ravo::transport::tcp {

namespace {

constexpr std::size_t kInPlaceMin = 16 * 1024;
constexpr std::size_t kInPlaceMax = 256 * 1024;
// Samples per run: as many as a connection reads ahead.
constexpr std::size_t kMaxRun = 64;
// A scatter read takes at most this many segments.
constexpr std::size_t kMaxSegments = 1024;
static_assert(kMaxSegments <= IOV_MAX, "one readv must take a whole run's segments");

// Commits a reserved run when it goes out of scope, whatever way that is: a
// reserved run left uncommitted would hold its batch, and every later one,
// back from the consumer for good.
class CommitAtExit {
public:
    CommitAtExit(SampleSender& sender, SampleSender::SlotRun run) noexcept : sender_(sender), run_(run) {}
    CommitAtExit(const CommitAtExit&) = delete;
    CommitAtExit& operator=(const CommitAtExit&) = delete;
    ~CommitAtExit() { sender_.commit(run_); }

private:
    SampleSender& sender_;
    SampleSender::SlotRun run_;
};

}  // namespace

bool reads_in_place(const SampleSender& sender, std::size_t sample_size) noexcept {
    const std::size_t per_sample = sender.segments_per_sample();
    return sample_size >= kInPlaceMin && sample_size <= kInPlaceMax && per_sample > 0 && per_sample <= kMaxSegments;
}

InPlaceRead read_in_place(int fd, SampleSender& sender, std::size_t sample_size) noexcept {
    InPlaceRead out;
    const std::size_t per_sample = sender.segments_per_sample();
    if (sample_size == 0 || per_sample == 0 || per_sample > kMaxSegments) return out;
    // What the kernel holds for us, up to an urgent mark if any (a read stops
    // there too): every byte of it can be read without waiting.
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0) {
        out.err = errno;
        return out;
    }
    const std::size_t whole = static_cast<std::size_t>(std::max(queued, 0)) / sample_size;
    if (whole == 0) return out;
    const auto run = sender.try_reserve(std::min({whole, kMaxRun, kMaxSegments / per_sample}));
    if (!run) return out;

    // Nothing waits from here until the commit: every byte read is one the
    // kernel already holds.
    const CommitAtExit commit(sender, *run);
    std::array<iovec, kMaxSegments> segments;
    const std::size_t n = sender.segments(*run, segments);
    std::size_t at = 0;  // the first segment not yet filled
    while (at < n) {
        const ssize_t r = ::readv(fd, segments.data() + at, static_cast<int>(n - at));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r < 0) out.err = errno;
            out.fell_short = true;
            for (; at < n; ++at) std::memset(segments[at].iov_base, 0, segments[at].iov_len);
            break;
        }
        // Past the filled segments; a short read ends inside one, and the
        // next read goes on from there.
        std::size_t done = static_cast<std::size_t>(r);
        while (at < n && done >= segments[at].iov_len) done -= segments[at++].iov_len;
        if (done > 0) {
            segments[at].iov_base = static_cast<std::uint8_t*>(segments[at].iov_base) + done;
            segments[at].iov_len -= done;
        }
    }
    if (!out.fell_short) out.samples = static_cast<std::size_t>(run->count);
    return out;
}

}  // namespace ravo::transport::tcp

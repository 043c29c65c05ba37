// Reading samples from a socket straight into their slots in the ring.
//
// The pooled-buffer path copies each sample twice: the kernel's copy out of
// the socket into a buffer, then the copy into the ring. Whole samples that
// the socket already holds can instead be read into slots reserved for them
// (SampleSender::try_reserve), so the kernel's copy is the only one. With
// several producers that gave 1.2x to 1.3x the samples per second at 64 KiB
// and 256 KiB on a 2-core machine. A single producer's samples go faster
// through a buffer that the cache still holds (0.85x to 0.93x in place), and
// so do the largest samples, which a receive buffer of 1 MiB rarely holds
// whole; below 16 KiB the query of the socket's queue that each in-place
// read needs costs more than the copy it saves. Hence the size window.
//
// Contract: the caller (a connection task, on its own thread) reads in place
// only at a sample boundary of its stream, and nothing else reads the socket
// meanwhile. Only bytes the kernel has already reported are read, so the
// read never waits, and a producer that stops inside a sample leaves nothing
// reserved. Between the reservation and the commit nothing can run on this
// thread, so the reserved batch is never held up.
#pragma once

#include <cstddef>

#include "ingress/sample_sender.h"

namespace ravo::transport::tcp {

// Whether a connection with this sender reads `sample_size`-byte samples in
// place when it can (the size window above, and a layout whose slots one
// scatter read can describe).
bool reads_in_place(const SampleSender& sender, std::size_t sample_size) noexcept;

struct InPlaceRead {
    std::size_t samples = 0;  // read and committed; each owed its acknowledgement
    int err = 0;              // errno of a failed query or read
    // The socket gave fewer bytes than it had reported (not expected). The
    // run was committed anyway, its unread rest zeroed, since a reserved
    // batch must complete; none of it may be acknowledged, and the
    // connection must end.
    bool fell_short = false;
};

// Reads the whole samples waiting in `fd` (non-blocking), up to one run of
// slots, into the ring and commits them. 0 samples: none is whole, or the
// sender may not store now (its queue holds samples, the ring is full, or
// it is shut down); the pooled-buffer path then goes on.
InPlaceRead read_in_place(int fd, SampleSender& sender, std::size_t sample_size) noexcept;

}  // namespace ravo::transport::tcp

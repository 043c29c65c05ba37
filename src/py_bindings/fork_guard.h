// Which process image a Python object was made in.
//
// A child forked from this process (a data-loader worker, a multiprocessing
// child under the fork start method) gets a copy of every server and every
// batch view, but none of the threads behind them: the drainers and the
// "tcp" workers exist only in the parent, and the pinned registrations
// belong to the parent's CUDA context. Tearing a copied server down in the
// child would join threads that do not exist there. Objects record the
// generation they were made in; a child sees a newer one.
//
// Contract: any thread may call process_generation(); after the first call,
// which registers the fork handler, it is two atomic loads and no system
// call, so the hot calls can afford it. The handler bumps the counter in the
// child before the child runs any Python code.
#pragma once

#include <cstdint>

namespace ravo::py {

// The current process image's generation: 0 in the process that loaded the
// module, one more in each forked generation after it.
std::uint64_t process_generation() noexcept;

// True when an object made in generation `made_in` is a copy inherited
// through fork, whose threads live in another process.
inline bool inherited_through_fork(std::uint64_t made_in) noexcept { return made_in != process_generation(); }

// Text of the error raised when a forked child calls into a copied server.
inline constexpr const char* kForkedChildText =
    "this server belongs to the process that created it; a forked child cannot use it";

}  // namespace ravo::py

// One sample's bytes: an owned, fixed-length buffer.
//
// A sample buffer holds one whole sample (every leaf back to back, in leaf
// order) and always has the sample size as its length. It is moved, never
// copied; whoever holds it may write it (the connection filling it) or read
// it (the drainer copying it into the store).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace ravo {

// One owned, fixed-length byte buffer.
class SampleBuffer {
public:
    SampleBuffer() noexcept = default;
    // A new zero-filled buffer of `len` bytes, from the allocator's zeroing
    // call: a large buffer costs no resident memory until it is written, so
    // an idle connection's receive buffer is nearly free.
    static SampleBuffer zeroed(std::size_t len) {
        SampleBuffer b;
        void* mem = std::calloc(1, len == 0 ? 1 : len);
        if (mem == nullptr) throw std::bad_alloc();
        b.data_.reset(static_cast<std::uint8_t*>(mem));
        b.len_ = len;
        return b;
    }
    SampleBuffer(SampleBuffer&& o) noexcept : data_(std::move(o.data_)), len_(std::exchange(o.len_, 0)) {}
    SampleBuffer& operator=(SampleBuffer&& o) noexcept {
        data_ = std::move(o.data_);
        len_ = std::exchange(o.len_, 0);
        return *this;
    }

    std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return len_; }
    explicit operator bool() const noexcept { return static_cast<bool>(data_); }

private:
    struct Free {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t len_ = 0;
};

}  // namespace ravo

// The wire protocol's handshake and sample size.
//
// Handshake (server to producer, first thing on a connection; all integers
// unsigned 32-bit little-endian, no padding): "RAVO", version byte 1, the
// leaf count, then per leaf its element size, its number of dimensions and
// the dimensions. A sample is exactly sample_size() bytes: every leaf's
// bytes back to back in handshake order. The server answers each queued
// sample with one 0x01 byte and sends nothing else.
#pragma once

#include <cstdint>
#include <vector>

#include "array_spec.h"
#include "result.h"

namespace ravo::transport::tcp {

inline constexpr std::uint8_t kMagic[4] = {0x52, 0x41, 0x56, 0x4F};  // "RAVO"
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::uint8_t kAck = 0x01;

// The handshake bytes for `specs`; each value is written as its low 32 bits.
std::vector<std::uint8_t> encode_handshake(const std::vector<ArraySpec>& specs);

// Refuses a layout the handshake cannot describe faithfully: a leaf count,
// element size or dimension above 32 bits would be truncated and every
// producer would misread the stream. The error names the leaf.
Status check_handshake_fits(const std::vector<ArraySpec>& specs);

}  // namespace ravo::transport::tcp

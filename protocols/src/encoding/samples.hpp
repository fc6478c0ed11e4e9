#pragma once

#include "encoding/appenders.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

// The samples of an Arbitrary signal, nearly all of a large file: the count,
// then one zigzag varint each, by a kernel of their own.
namespace protocols::encoding {

// The most one sample takes, and how far past the samples' end the kernel
// may store (it stores 16 bytes for four samples that take at most 12).
inline constexpr std::size_t MAX_SAMPLE = 3;
inline constexpr std::size_t STORE_SLACK = 16;

// The n samples at s (without their count) written at p, which has room for
// n * MAX_SAMPLE + STORE_SLACK bytes; returns the end of what counts. The
// caller writes a long run in parts, each into room it already has, so no
// region is ever cleared first.
std::uint8_t* put_samples(std::uint8_t* p, const std::int16_t* s, std::size_t n) noexcept;

} // namespace protocols::encoding

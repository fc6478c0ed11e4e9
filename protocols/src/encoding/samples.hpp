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

// Written straight into a region of the buffer sized for MAX_SAMPLE bytes
// per sample and STORE_SLACK, which is then shrunk to what was used
// (resizing down never reallocates).
void append_samples(Bytes& out, const std::vector<std::int16_t>& samples);

} // namespace protocols::encoding

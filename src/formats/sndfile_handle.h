// Internal to the readers that decode through libsndfile (compressed WAV, FLAC, Ogg, Opus): the
// owner of an open SNDFILE, and how much they decode at a time.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>

namespace brindle::detail {

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

// Samples per chunk of a decoding loop (about 1 MiB of floats), whatever the channel count.
constexpr uint32_t kDecodeChunkSamples = 262144;

}  // namespace brindle::detail

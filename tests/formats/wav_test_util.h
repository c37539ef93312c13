// Helpers for the WAV tests: hand-built RIFF bytes for the malformed cases no tool writes, a chunk
// walk of the tests' own, and a progress that records its moves or cancels.
#pragma once

#include <algorithm>
#include <cstring>

#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle::test {

using Bytes = std::vector<uint8_t>;

inline void AppendLe(Bytes& bytes, uint32_t value, int width)
{
    for (int k = 0; k < width; ++k)
        bytes.push_back(uint8_t(value >> (8 * k)));
}
inline void PutLe32At(Bytes& bytes, size_t offset, uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        bytes.at(offset + size_t(k)) = uint8_t(value >> (8 * k));
}
inline uint32_t Le32At(const Bytes& b, size_t at) { return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | uint32_t(b.at(at + 3)) << 24; }
inline Bytes Le16Samples(const std::vector<int16_t>& samples)
{
    Bytes bytes;
    for (int16_t s : samples)
        AppendLe(bytes, uint16_t(s), 2);
    return bytes;
}

// A chunk of the payload's size with a pad byte after an odd payload, or of declaredSize as given, unpadded.
inline Bytes Chunk(const std::string& code, const Bytes& payload, int64_t declaredSize = -1)
{
    Bytes chunk(code.begin(), code.end());
    AppendLe(chunk, uint32_t(declaredSize < 0 ? payload.size() : uint64_t(declaredSize)), 4);
    chunk.insert(chunk.end(), payload.begin(), payload.end());
    if (declaredSize < 0 && payload.size() % 2 == 1)
        chunk.push_back(0);
    return chunk;
}
// A "fmt " chunk of 16 bytes plus extraBytes zeros; block align and byte rate consistent unless given.
inline Bytes FmtChunk(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t extraBytes = 0,
                      int blockAlign = -1, int64_t byteRate = -1)
{
    const auto align = uint16_t(blockAlign < 0 ? channels * bits / 8 : blockAlign);
    Bytes payload;
    for (const auto& [value, width] : {std::pair<uint32_t, int>{tag, 2}, {channels, 2}, {rate, 4},
                                      {uint32_t(byteRate < 0 ? rate * align : byteRate), 4}, {align, 2}, {bits, 2}})
        AppendLe(payload, value, width);
    payload.resize(payload.size() + extraBytes, 0);
    return Chunk("fmt ", payload);
}
// "RIFF" <size of the rest> "WAVE" followed by the chunks.
inline Bytes RiffWave(const std::vector<Bytes>& chunks)
{
    Bytes file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const Bytes& chunk : chunks)
        file.insert(file.end(), chunk.begin(), chunk.end());
    PutLe32At(file, 4, uint32_t(file.size() - 8));
    return file;
}

// Offsets of a RIFF file's chunk headers (pad bytes honoured), up to the first one past the end.
inline std::vector<size_t> ChunkOffsets(const Bytes& file)
{
    std::vector<size_t> offsets;
    for (uint64_t offset = 12, size = 0; offset + 8 <= file.size(); offset += 8 + size + (size & 1))
        offsets.push_back(offset), size = Le32At(file, offset + 4);
    return offsets;
}
// The payload of the first chunk named code, cut to the bytes present; empty when there is none.
inline Bytes ChunkPayload(const Bytes& file, const char* code)
{
    for (size_t at : ChunkOffsets(file)) {
        if (std::memcmp(file.data() + at, code, 4) == 0)
            return Bytes(file.begin() + std::ptrdiff_t(at + 8), file.begin() + std::ptrdiff_t(std::min<size_t>(file.size(), at + 8 + Le32At(file, at + 4))));
    }
    return {};
}

// Remembers every position it moves to; cancels itself once its position reaches cancelAt (0: never).
class RecordingProgress : public Progress {
public:
    explicit RecordingProgress(uint32_t range, uint32_t cancelAt = 0) : Progress(range), cancelAt_(cancelAt) {}
    const std::vector<uint32_t>& Positions() const { return positions_; }
    bool IsMonotonic() const { return std::is_sorted(positions_.begin(), positions_.end()); }

protected:
    void OnPositionChanged() override
    {
        positions_.push_back(Position());
        if (cancelAt_ != 0 && Position() >= cancelAt_)
            Cancel();
    }

private:
    uint32_t cancelAt_;
    std::vector<uint32_t> positions_;
};

}  // namespace brindle::test

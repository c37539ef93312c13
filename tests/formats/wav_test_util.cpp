#include "formats/wav_test_util.h"

#include <algorithm>
#include <cstring>

namespace brindle::test {

void AppendLe16(Bytes& bytes, uint16_t value)
{
    bytes.push_back(uint8_t(value));
    bytes.push_back(uint8_t(value >> 8));
}

void AppendLe32(Bytes& bytes, uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        bytes.push_back(uint8_t(value >> (8 * k)));
}

void PutLe32At(Bytes& bytes, size_t offset, uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        bytes.at(offset + size_t(k)) = uint8_t(value >> (8 * k));
}

uint32_t Le32At(const Bytes& bytes, size_t offset)
{
    return uint32_t(bytes.at(offset)) | uint32_t(bytes.at(offset + 1)) << 8 | uint32_t(bytes.at(offset + 2)) << 16 |
           uint32_t(bytes.at(offset + 3)) << 24;
}

Bytes ChunkWithSize(const std::string& code, uint32_t declaredSize, const Bytes& payload)
{
    Bytes chunk(code.begin(), code.end());
    chunk.resize(4, ' ');
    AppendLe32(chunk, declaredSize);
    chunk.insert(chunk.end(), payload.begin(), payload.end());
    return chunk;
}

Bytes Chunk(const std::string& code, const Bytes& payload, bool withPad)
{
    Bytes chunk = ChunkWithSize(code, uint32_t(payload.size()), payload);
    if (withPad && payload.size() % 2 == 1)
        chunk.push_back(0);
    return chunk;
}

Bytes FmtChunk(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t extraBytes)
{
    Bytes payload;
    const uint16_t blockAlign = uint16_t(channels * bits / 8);
    AppendLe16(payload, tag);
    AppendLe16(payload, channels);
    AppendLe32(payload, rate);
    AppendLe32(payload, rate * blockAlign);
    AppendLe16(payload, blockAlign);
    AppendLe16(payload, bits);
    payload.resize(payload.size() + extraBytes, 0);
    return Chunk("fmt ", payload);
}

Bytes RawFmtChunk(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t byteRate, uint16_t blockAlign,
                  uint16_t bits)
{
    Bytes payload;
    AppendLe16(payload, tag);
    AppendLe16(payload, channels);
    AppendLe32(payload, rate);
    AppendLe32(payload, byteRate);
    AppendLe16(payload, blockAlign);
    AppendLe16(payload, bits);
    return Chunk("fmt ", payload);
}

Bytes RiffWave(const std::vector<Bytes>& chunks)
{
    Bytes body = {'W', 'A', 'V', 'E'};
    for (const Bytes& chunk : chunks)
        body.insert(body.end(), chunk.begin(), chunk.end());
    Bytes file = {'R', 'I', 'F', 'F'};
    AppendLe32(file, uint32_t(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

Bytes DataChunkPayload(const Bytes& file)
{
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0)
        return {};
    size_t offset = 12;
    while (offset + 8 <= file.size()) {
        const uint32_t size = Le32At(file, offset + 4);
        const size_t start = offset + 8;
        if (std::memcmp(file.data() + offset, "data", 4) == 0) {
            const size_t end = std::min<size_t>(file.size(), start + size);
            return Bytes(file.begin() + std::ptrdiff_t(start), file.begin() + std::ptrdiff_t(end));
        }
        offset = start + size + (size & 1);
    }
    return {};
}

bool RecordingProgress::IsMonotonic() const { return std::is_sorted(positions_.begin(), positions_.end()); }

void RecordingProgress::OnPositionChanged()
{
    positions_.push_back(Position());
    if (cancelAt_ != 0 && Position() >= cancelAt_)
        Cancel();
}

}  // namespace brindle::test

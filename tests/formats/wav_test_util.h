// Helpers for the WAV tests: hand-built RIFF bytes for the malformed cases no tool writes, the data
// chunk of a file found by an independent chunk walk, and progress objects that record or cancel.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

#include "tasks/progress.h"

namespace brindle::test {

using Bytes = std::vector<uint8_t>;

void AppendLe16(Bytes& bytes, uint16_t value);
void AppendLe32(Bytes& bytes, uint32_t value);
void PutLe32At(Bytes& bytes, size_t offset, uint32_t value);
uint32_t Le32At(const Bytes& bytes, size_t offset);

// One chunk: code, declared size (the payload's size unless given), payload, and a zero pad byte
// after an odd payload when withPad.
Bytes Chunk(const std::string& code, const Bytes& payload, bool withPad = true);
Bytes ChunkWithSize(const std::string& code, uint32_t declaredSize, const Bytes& payload);
// A "fmt " chunk of 16 bytes (plus extraBytes zero bytes when non-zero) with a consistent byte rate
// and block align for the given tag.
Bytes FmtChunk(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t extraBytes = 0);
// A 16-byte "fmt " chunk with every field as given, consistent or not.
Bytes RawFmtChunk(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t byteRate, uint16_t blockAlign,
                  uint16_t bits);
// "RIFF" <size of the rest> "WAVE" followed by the chunks.
Bytes RiffWave(const std::vector<Bytes>& chunks);

// The payload of the first "data" chunk found by walking a RIFF file's chunks (pad bytes
// honoured), cut to the bytes present. Empty when there is none.
Bytes DataChunkPayload(const Bytes& file);


// Remembers every position it moves to; cancels itself once its position reaches cancelAt (0: never).
class RecordingProgress : public Progress {
public:
    explicit RecordingProgress(uint32_t range, uint32_t cancelAt = 0) : Progress(range), cancelAt_(cancelAt) {}

    const std::vector<uint32_t>& Positions() const { return positions_; }
    bool IsMonotonic() const;

protected:
    void OnPositionChanged() override;

private:
    uint32_t cancelAt_;
    std::vector<uint32_t> positions_;
};

}  // namespace brindle::test

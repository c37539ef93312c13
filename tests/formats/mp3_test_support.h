// Helpers shared by the MP3, tag and FLAC/Ogg tests: the reference tools and their 16-bit WAV output,
// a sound buffer read back as 16-bit samples, and progresses that cancel on cue.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "formats/file_tags.h"
#include "formats/mp3_frames.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
class SoundBuffer;
}

namespace brindle::test {

struct Pcm16 {
    bool isValid = false;
    uint32_t channels = 0;
    uint32_t rate = 0;
    std::vector<int16_t> samples;  // interleaved
    size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

// A PCM WAV file with 16-bit samples (the chunk walk accepts any chunk order).
Pcm16 ReadPcm16Wav(const std::filesystem::path& path);
// The whole buffer as interleaved 16-bit samples.
Pcm16 BufferPcm16(SoundBuffer& buffer);
// `mpg123 -q -w wav mp3`; returns its exit status.
int DecodeWithMpg123(const std::filesystem::path& mp3, const std::filesystem::path& wav);
// mpg123's samples of mp3, through a WAV beside it; invalid when mpg123 fails.
Pcm16 Mpg123Pcm(const std::filesystem::path& mp3);
// Empty when a and b are the same sound, else where they first differ.
std::string FirstDifference(const Pcm16& a, const Pcm16& b);
// True when the command-line tool can be found.
bool HasTool(const std::string& name);
// What a shell command prints, run with LC_ALL=C.UTF-8 and TZ=UTC.
std::string Output(const std::string& command);
// `sox -D -R -n -r rate -c channels -b bits wav effects`, expected to succeed.
void SoxSynth(const std::filesystem::path& wav, int rate, int channels, const std::string& effects, int bits = 16);
// The frame index of an MP3 file, expected to be made.
Mp3FrameIndex IndexOf(const std::filesystem::path& mp3);
// The corpus MP3s as paths under CorpusDir(); none without a corpus.
std::vector<std::string> CorpusMp3s();

// Bit rates (kbit/s) of every MPEG audio frame of a file, found by walking the frame headers after any
// ID3v2 tag; the first frame's own bytes are also returned for a look at its info tag.
struct FrameWalk {
    std::vector<uint32_t> bitrates;
    std::vector<uint8_t> firstFrame;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
};
FrameWalk WalkMp3Frames(const std::filesystem::path& path);

// Tags with every field of the record set, text beyond ASCII included.
FileTags SampleTags();
// The record's fields, for one comparison that names the field that differs.
inline auto TagFields(const FileTags& t)
{
    return std::tie(t.title, t.comment, t.artist, t.album, t.year, t.trackNumber, t.genre, t.lyrics, t.albumArtist,
                    t.subtitle, t.rating);
}

// Records the bar's positions and cancels the first time it reaches `at` (in units of the range).
class CancelAt final : public Progress {
public:
    CancelAt(uint32_t range, uint32_t at) : Progress(range), at_(at) {}
    std::vector<uint32_t> positions;

protected:
    void OnPositionChanged() override
    {
        positions.push_back(Position());
        if (Position() >= at_)
            Cancel();
    }

private:
    uint32_t at_;
};

// Says "cancelled" from its nth poll on, as if the user pressed Cancel just then; counts the polls.
class CancelAtPoll final : public Progress {
public:
    explicit CancelAtPoll(int n, uint32_t range = 100) : Progress(range), n_(n) {}
    bool IsCancelled() const override { return ++polls >= n_ || Progress::IsCancelled(); }
    mutable int polls = 0;

private:
    int n_;
};

}  // namespace brindle::test

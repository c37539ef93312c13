#include "formats/xiph_file.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "formats/check.h"
#include "formats/file_tags.h"
#include "formats/sndfile_handle.h"
#include "formats/store_output.h"
#include "storage/file_handle.h"
#include "storage/sample_conversion.h"
#include "storage/source_file.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"
#include "tasks/yield_pacer.h"

namespace brindle {

namespace {

using detail::Check;
using detail::CheckNotCancelled;
using detail::StoreOutput;

using detail::kDecodeChunkSamples;
using detail::SndfileHandle;

struct SoxrDeleter {
    void operator()(soxr* resampler) const { soxr_delete(resampler); }
};
using SoxrHandle = std::unique_ptr<soxr, SoxrDeleter>;

// libsndfile's words ("Error : bad FLAC metadata."), as a reason of ours.
std::string LibraryReason(SNDFILE* file, const char* what)
{
    std::string text = sf_strerror(file);
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = char(text[0] - 'A' + 'a');
    return std::string(what) + " (" + text + ")";
}

void Load(const SourceFile& source, StoreOutput& output, Progress* progress)
{
    CheckNotCancelled(progress);
    Check(source.IsOpen(), "no file");
    // Decoded from the descriptor opened at the door, never by name (see DecodeWavInto).
    FileHandle sourceFile;
    UniqueFd duplicate = source.DuplicateAtStart();
    Check(duplicate.IsValid());
    sourceFile.Adopt(std::move(duplicate), OpenMode::ReadOnly);
    const int64_t sourceBytes = int64_t(source.Size());
    SF_INFO info{};
    SndfileHandle file(sf_open_fd(sourceFile.Fd(), SFM_READ, &info, SF_FALSE));
    Check(file != nullptr, LibraryReason(nullptr, "cannot decode this file"));
    const int container = info.format & SF_FORMAT_TYPEMASK;
    const int codec = info.format & SF_FORMAT_SUBMASK;
    const bool flac = container == SF_FORMAT_FLAC || (container == SF_FORMAT_OGG && codec == SF_FORMAT_FLAC);
    Check(flac || (container == SF_FORMAT_OGG && (codec == SF_FORMAT_VORBIS || codec == SF_FORMAT_OPUS)),
          "not a FLAC, Ogg Vorbis or Opus file");
    Check(info.channels >= 1 && info.samplerate >= 1, "0 channels or sample rate 0");
    // More than two channels is refused by the format check below, with the WAV reader's words.
    const bool keeps24 = flac && codec == SF_FORMAT_PCM_24;
    const uint16_t bits = keeps24 ? 24 : 16;
    const uint64_t blockAlign = uint64_t(info.channels) * (bits / 8);
    Check(blockAlign <= UINT16_MAX && uint64_t(info.samplerate) * blockAlign <= UINT32_MAX,
          "too many channels or too high a sample rate");
    WaveFormat format;
    format.formatTag = 1;
    format.channelCount = uint16_t(info.channels);
    format.samplesPerSecond = uint32_t(info.samplerate);
    format.blockAlign = uint16_t(blockAlign);
    format.avgBytesPerSecond = uint32_t(info.samplerate * blockAlign);
    format.bitsPerSample = bits;
    // The stated length bounds the decoding: a damaged stream must not grow a sound without end. A
    // stream that states none is read to its end, within what a sound may hold.
    const uint64_t stated = info.frames > 0 ? uint64_t(info.frames) : kMaxStoredSamples;
    Check(stated <= kMaxStoredSamples, "too long to open (over 2^30 frames)");
    output.Begin(format, stated);

    const uint32_t channels = uint32_t(info.channels);
    const uint32_t chunkFrames = std::max<uint32_t>(1, kDecodeChunkSamples / channels);
    std::vector<float> samples(size_t(chunkFrames) * channels);
    std::vector<int32_t> integers(keeps24 ? samples.size() : 0);
    std::vector<uint8_t> pcm(keeps24 ? 0 : samples.size() * 2);
    YieldPacer pacer(110, 20);
    pacer.Start();
    uint64_t frames = 0;
    while (frames < stated) {
        const sf_count_t wanted = sf_count_t(std::min<uint64_t>(chunkFrames, stated - frames));
        const sf_count_t got = keeps24 ? sf_readf_int(file.get(), integers.data(), wanted)
                                       : sf_readf_float(file.get(), samples.data(), wanted);
        if (got <= 0)
            break;
        const size_t count = size_t(got) * channels;
        if (keeps24) {
            ConvertS32ToFloat(integers.data(), samples.data(), count);
        } else {
            // What a 16-bit copy of the decoded sound holds, so that a save as 16-bit gives it back.
            ConvertFloatToS16Le(samples.data(), count, pcm.data(), 1);
            ConvertS16LeToFloat(pcm.data(), 1, samples.data(), count);
        }
        output.Write(samples.data(), uint32_t(got));
        frames += uint64_t(got);
        CheckNotCancelled(progress);
        if (progress)
            progress->SetPercent(float(double(frames) * 100.0 / double(stated)));
        pacer.Pace();
    }
    Check(sf_error(file.get()) == SF_ERR_NO_ERROR, LibraryReason(file.get(), "cannot decode this file"));
    Check(frames != 0, "no samples could be decoded");
    // A source that shrank while it was decoded only looks like an early end to libsndfile.
    if (sourceFile.FileSize() < sourceBytes)
        throw Failure({FailureKind::System, "the file shrank while it was read"});
    output.End(frames);
}

// Interleaved chunks of the sound, in order, as the encoder takes them.
class ChunkReader {
public:
    explicit ChunkReader(const ChannelSet& channels)
        : channels_(channels), count_(channels.ChannelCount()),
          chunk_(std::max<uint32_t>(1, kDecodeChunkSamples / count_)), planar_(chunk_), interleaved_(size_t(chunk_) * count_)
    {
    }
    // The next chunk's frames (0 at the end); Data() holds them.
    uint32_t Next()
    {
        const uint32_t frames = std::min(chunk_, channels_.FrameCount() - position_);
        for (uint16_t c = 0; c < count_ && frames > 0; ++c) {
            Check(channels_.Channel(c).ReadSamples(position_, planar_.data(), frames));
            for (uint32_t k = 0; k < frames; ++k)
                interleaved_[size_t(k) * count_ + c] = planar_[k];
        }
        position_ += frames;
        return frames;
    }
    float* Data() { return interleaved_.data(); }
    uint32_t Position() const { return position_; }

private:
    const ChannelSet& channels_;
    uint16_t count_;
    uint32_t chunk_;
    uint32_t position_ = 0;
    std::vector<float> planar_;
    std::vector<float> interleaved_;
};

// Owns the open stream: the close is part of the save, and its result counts.
class Encoder {
public:
    Encoder(SNDFILE* file, uint16_t channels, uint16_t bits) : file_(file), channels_(channels), bits_(bits) {}
    ~Encoder()
    {
        if (file_)
            sf_close(file_);
    }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    void Write(float* interleaved, uint32_t frames)
    {
        if (frames == 0)
            return;
        sf_count_t written = 0;
        errno = 0;
        if (bits_ == 0) {
            written = sf_writef_float(file_, interleaved, frames);
        } else {
            // Rounded and clamped by the rules of every integer writer of ours, not libsndfile's.
            integers_.resize(size_t(frames) * channels_);
            for (size_t k = 0; k < integers_.size(); ++k)
                integers_[k] = bits_ == 24 ? int32_t(uint32_t(FloatToS24(interleaved[k])) << 8)
                                           : int32_t(uint32_t(FloatToS16(interleaved[k])) << 16);
            written = sf_writef_int(file_, integers_.data(), frames);
        }
        if (written != sf_count_t(frames) || sf_error(file_) != SF_ERR_NO_ERROR)
            Fail(sf_error(file_));
    }
    // The last close of the stream writes its last frames and its header.
    void Close()
    {
        errno = 0;
        const int error = sf_close(file_);
        file_ = nullptr;
        if (error != SF_ERR_NO_ERROR)
            Fail(error);
    }
    [[noreturn]] static void Fail(int error)
    {
        // A failed write of the file itself has the system's reason; the library says only "system error".
        if (errno != 0)
            ThrowSystem();
        std::string text = sf_error_number(error);
        ThrowFormat("cannot encode the sound (" + text + ")");
    }

private:
    SNDFILE* file_;
    uint16_t channels_;
    uint16_t bits_;  // 16 or 24 for integers, 0 for floats
    std::vector<int32_t> integers_;
};

void Save(const SoundBuffer& buffer, const std::filesystem::path& path, XiphFormat kind, const FileTags* tags,
          Progress* progress)
{
    Check(!path.empty(), "no file name");
    CheckNotCancelled(progress);
    const ChannelSet& channels = buffer.channels;
    Check(buffer.HasSound() && channels.IsValid(), "no sound to write");
    const uint16_t count = channels.ChannelCount();
    const uint32_t rate = channels.SampleRate();
    const uint32_t outRate = kind == XiphFormat::Opus ? kOpusRate : rate;
    uint16_t bits = 0;
    SF_INFO info{};
    info.channels = count;
    info.samplerate = int(outRate);
    switch (kind) {
    case XiphFormat::Flac:
        // FLAC holds integers of at most 24 bits: a deeper or float sound keeps what 24 bits can.
        bits = buffer.format.bitsPerSample > 16 ? 24 : 16;
        info.format = SF_FORMAT_FLAC | (bits == 24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16);
        break;
    case XiphFormat::Vorbis: info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS; break;
    case XiphFormat::Opus: info.format = SF_FORMAT_OGG | SF_FORMAT_OPUS; break;
    }
    Check(sf_format_check(&info) != 0, "this sound cannot be written in that format");

    FileHandle out;
    Check(out.Open(path, OpenMode::CreateOrTruncate));
    errno = 0;
    SndfileHandle file(sf_open_fd(out.Fd(), SFM_WRITE, &info, SF_FALSE));
    Check(file != nullptr, LibraryReason(nullptr, "cannot write this format"));
    Encoder encoder(file.release(), count, bits);

    SoxrHandle resampler;
    std::vector<float> resampled;
    if (outRate != rate) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        resampler.reset(soxr_create(double(rate), double(outRate), count, &error, &io, &quality, nullptr));
        Check(resampler != nullptr && error == nullptr, "cannot resample the sound");
    }
    // Runs the resampler over input (nullptr: its end, flushing what it holds) and encodes its output.
    auto resample = [&](const float* input, size_t frames) {
        size_t used = 0;
        do {
            const size_t room = std::max<size_t>(4096, size_t(double(frames) * outRate / rate) + 1024);
            resampled.resize(room * count);
            size_t made = 0, taken = 0;
            const soxr_error_t error = soxr_process(resampler.get(), input ? input + used * count : nullptr,
                                                    frames - used, &taken, resampled.data(), room, &made);
            Check(error == nullptr, "cannot resample the sound");
            used += taken;
            encoder.Write(resampled.data(), uint32_t(made));
            if (!input && made == 0)
                break;
        } while (input ? used < frames : true);
    };

    ChunkReader reader(channels);
    const double total = channels.FrameCount();
    YieldPacer pacer(110, 20);
    pacer.Start();
    while (const uint32_t frames = reader.Next()) {
        if (resampler)
            resample(reader.Data(), frames);
        else
            encoder.Write(reader.Data(), frames);
        CheckNotCancelled(progress);
        if (progress)
            progress->SetPercent(float(double(reader.Position()) * 95.0 / total));
        pacer.Pace();
    }
    if (resampler)
        resample(nullptr, 0);
    encoder.Close();
    Check(out.CloseChecked());
    if (tags && tags->HasAnythingToWrite())
        Check(tags->WriteXiphTags(path, progress));
}

}  // namespace

int LoadXiph(SoundBuffer& buffer, const SourceFile& source, Progress* progress)
{
    const int result = Guarded([&] {
        StoreOutput output(buffer);
        Load(source, output, progress);
        return true;
    });
    if (!result)
        buffer.Clear();
    return FinishProgress(progress, result);
}

int SaveXiph(const SoundBuffer& buffer, const std::filesystem::path& path, XiphFormat format, const FileTags* tags,
             Progress* progress)
{
    return FinishProgress(progress, Guarded([&] {
                              Save(buffer, path, format, tags, progress);
                              return true;
                          }));
}

}  // namespace brindle

#include "formats/lame_adapter.h"

#include <lame/lame.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "storage/file_handle.h"

namespace brindle {

// lame.h declares these only so that their types can be named here; nothing is linked.
struct LameAdapter::Api {
    decltype(&lame_init) init = nullptr;
    decltype(&lame_set_in_samplerate) setInSamplerate = nullptr;
    decltype(&lame_set_num_channels) setNumChannels = nullptr;
    decltype(&lame_set_mode) setMode = nullptr;
    decltype(&lame_set_VBR) setVbr = nullptr;
    decltype(&lame_set_VBR_q) setVbrQ = nullptr;
    decltype(&lame_set_VBR_min_bitrate_kbps) setVbrMin = nullptr;
    decltype(&lame_set_VBR_max_bitrate_kbps) setVbrMax = nullptr;
    decltype(&lame_set_disable_reservoir) setDisableReservoir = nullptr;
    decltype(&lame_set_bWriteVbrTag) setWriteVbrTag = nullptr;
    decltype(&lame_init_params) initParams = nullptr;
    decltype(&lame_get_framesize) getFramesize = nullptr;
    decltype(&lame_encode_buffer) encodeBuffer = nullptr;
    decltype(&lame_encode_buffer_interleaved) encodeBufferInterleaved = nullptr;
    decltype(&lame_encode_flush) encodeFlush = nullptr;
    decltype(&lame_close) close = nullptr;
    // Optional: an ID3 tag is never wanted from the encoder (tags are written afterwards), and the
    // info frame has two routes.
    decltype(&lame_set_write_id3tag_automatic) setWriteId3tagAutomatic = nullptr;
    decltype(&lame_get_lametag_frame) getLametagFrame = nullptr;
    decltype(&lame_mp3_tags_fid) mp3TagsFid = nullptr;
    decltype(&lame_get_encoder_delay) getEncoderDelay = nullptr;
    decltype(&lame_get_out_samplerate) getOutSamplerate = nullptr;
    // Optional: constant bit rate, frame CRCs and a fixed output rate, which only the re-encoded
    // seams of a lossless MP3 save ask for.
    decltype(&lame_set_brate) setBrate = nullptr;
    decltype(&lame_set_error_protection) setErrorProtection = nullptr;
    decltype(&lame_set_out_samplerate) setOutSamplerate = nullptr;
};

namespace {

template <typename F>
bool Resolve(const LibraryHandle& library, F& function, const char* name)
{
    function = reinterpret_cast<F>(library.Symbol(name));
    return function != nullptr;
}

}  // namespace

LameStream::~LameStream()
{
    if (adapter_ && encoder_)
        adapter_->CloseEncoder(encoder_);
}

LameAdapter::LameAdapter() : api_(std::make_unique<Api>()) {}

LameAdapter::~LameAdapter()
{
    if (pendingHeaderEncoder_)
        CloseEncoder(pendingHeaderEncoder_);
}

std::unique_ptr<LameAdapter> LameAdapter::Load(const std::vector<std::string>& candidates, bool useInfoTag,
                                               std::string* failure)
{
    std::string lacking;
    for (const std::string& candidate : candidates) {
        std::unique_ptr<LameAdapter> adapter(new LameAdapter());
        if (!adapter->library_.Open(candidate))
            continue;
        const LibraryHandle& lib = adapter->library_;
        Api& api = *adapter->api_;
        const char* missing = nullptr;
        auto need = [&](auto& function, const char* name) {
            if (!Resolve(lib, function, name))
                missing = name;
            return missing == nullptr;
        };
        const bool hasRequired =
            need(api.init, "lame_init") && need(api.setInSamplerate, "lame_set_in_samplerate") &&
            need(api.setNumChannels, "lame_set_num_channels") && need(api.setMode, "lame_set_mode") &&
            need(api.setVbr, "lame_set_VBR") && need(api.setVbrQ, "lame_set_VBR_q") &&
            need(api.setVbrMin, "lame_set_VBR_min_bitrate_kbps") &&
            need(api.setVbrMax, "lame_set_VBR_max_bitrate_kbps") &&
            need(api.setDisableReservoir, "lame_set_disable_reservoir") &&
            need(api.setWriteVbrTag, "lame_set_bWriteVbrTag") && need(api.initParams, "lame_init_params") &&
            need(api.getFramesize, "lame_get_framesize") && need(api.encodeBuffer, "lame_encode_buffer") &&
            need(api.encodeBufferInterleaved, "lame_encode_buffer_interleaved") &&
            need(api.encodeFlush, "lame_encode_flush") && need(api.close, "lame_close");
        if (!hasRequired) {
            // Worth more than "not found" when no later candidate loads.
            if (lacking.empty())
                lacking = "the MP3 encoder library " + adapter->LoadedPath() + " lacks " + missing;
            continue;
        }
        Resolve(lib, api.setWriteId3tagAutomatic, "lame_set_write_id3tag_automatic");
        Resolve(lib, api.mp3TagsFid, "lame_mp3_tags_fid");
        Resolve(lib, api.getEncoderDelay, "lame_get_encoder_delay");
        Resolve(lib, api.getOutSamplerate, "lame_get_out_samplerate");
        Resolve(lib, api.setBrate, "lame_set_brate");
        Resolve(lib, api.setErrorProtection, "lame_set_error_protection");
        Resolve(lib, api.setOutSamplerate, "lame_set_out_samplerate");
        if (useInfoTag)
            Resolve(lib, api.getLametagFrame, "lame_get_lametag_frame");
        return adapter;
    }
    if (failure)
        *failure = lacking;
    return nullptr;
}

BE_CONFIG LameConfig(uint32_t sampleRate, int32_t mode)
{
    BE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    config.dwConfig = BE_CONFIG_LAME;
    auto& lhv1 = config.format.LHV1;
    lhv1.dwStructVersion = CURRENT_STRUCT_VERSION;
    lhv1.dwStructSize = sizeof(BE_CONFIG);
    lhv1.dwSampleRate = sampleRate;
    lhv1.nMode = mode;
    return config;
}

bool LameAdapter::HasWriteInfoTag() const { return api_->getLametagFrame != nullptr; }

void LameAdapter::CloseEncoder(lame_global_struct* encoder) { api_->close(encoder); }

int LameAdapter::EncoderDelay(const LameStream* stream) const
{
    return stream && stream->encoder_ && api_->getEncoderDelay ? api_->getEncoderDelay(stream->encoder_) : -1;
}

uint32_t LameAdapter::OutputSampleRate(const LameStream* stream) const
{
    const int rate = stream && stream->encoder_ && api_->getOutSamplerate ? api_->getOutSamplerate(stream->encoder_) : 0;
    return rate > 0 ? uint32_t(rate) : 0;
}

BE_ERR LameAdapter::beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* bufferBytes,
                                 std::unique_ptr<LameStream>* stream)
{
    if (!config || !samples || !bufferBytes || !stream)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (config->dwConfig != BE_CONFIG_LAME)
        return BE_ERR_INVALID_FORMAT;
    const auto& lhv1 = config->format.LHV1;
    if (lhv1.dwStructVersion < 1 || lhv1.dwStructSize != sizeof(BE_CONFIG))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (lhv1.dwSampleRate == 0 || lhv1.dwSampleRate > 192000 || lhv1.nMode < BE_MP3_MODE_STEREO ||
        lhv1.nMode > BE_MP3_MODE_MONO)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    std::unique_ptr<LameStream> created(new LameStream());
    created->adapter_ = this;
    created->encoder_ = api_->init();
    if (!created->encoder_)
        return BE_ERR_NO_MORE_HANDLES;
    lame_global_struct* gfp = created->encoder_;
    const int channelCount = lhv1.nMode == BE_MP3_MODE_MONO ? 1 : 2;
    created->channelCount_ = channelCount;

    static constexpr MPEG_mode kModes[] = {STEREO, JOINT_STEREO, DUAL_CHANNEL, MONO};
    int failures = 0;
    failures += api_->setInSamplerate(gfp, int(lhv1.dwSampleRate)) != 0;
    failures += api_->setNumChannels(gfp, channelCount) != 0;
    failures += api_->setMode(gfp, kModes[lhv1.nMode]) != 0;
    if (lhv1.bEnableVBR) {
        // Method 0 is the library's default VBR method; its quality is -V, not the -q knob.
        failures += api_->setVbr(gfp, vbr_default) != 0;
        failures += api_->setVbrQ(gfp, lhv1.nVBRQuality) != 0;
        failures += api_->setVbrMin(gfp, int(lhv1.dwBitrate)) != 0;
        failures += api_->setVbrMax(gfp, int(lhv1.dwMaxBitrate)) != 0;
    } else if (api_->setBrate) {
        failures += api_->setVbr(gfp, vbr_off) != 0;
        failures += api_->setBrate(gfp, int(lhv1.dwBitrate)) != 0;
    } else {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (lhv1.bCRC)
        failures += !api_->setErrorProtection || api_->setErrorProtection(gfp, 1) != 0;
    if (lhv1.dwReSampleRate != 0)
        failures += !api_->setOutSamplerate || api_->setOutSamplerate(gfp, int(lhv1.dwReSampleRate)) != 0;
    failures += api_->setDisableReservoir(gfp, lhv1.bNoRes ? 1 : 0) != 0;
    failures += api_->setWriteVbrTag(gfp, lhv1.bWriteVBRHeader ? 1 : 0) != 0;
    if (api_->setWriteId3tagAutomatic)
        api_->setWriteId3tagAutomatic(gfp, 0);
    if (failures != 0 || api_->initParams(gfp) < 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    const int framesize = api_->getFramesize(gfp);
    if (framesize <= 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    created->samplesPerChunk_ = framesize * channelCount;
    *samples = uint32_t(created->samplesPerChunk_);
    // The library's own worst case for one call: 1.25 bytes per sample per channel plus 7200.
    *bufferBytes = uint32_t(framesize + framesize / 4 + 7200);
    *stream = std::move(created);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR LameAdapter::beEncodeChunk(LameStream* stream, uint32_t sampleCount, const int16_t* samples,
                                  uint8_t* output, uint32_t* produced)
{
    if (!stream || !stream->encoder_ || !samples || !output || !produced)
        return BE_ERR_INVALID_HANDLE;
    if (sampleCount > uint32_t(stream->samplesPerChunk_) || sampleCount % uint32_t(stream->channelCount_) != 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const int frames = int(sampleCount) / stream->channelCount_;
    const int framesize = stream->samplesPerChunk_ / stream->channelCount_;
    const int capacity = framesize + framesize / 4 + 7200;
    int written;
    if (stream->channelCount_ == 1) {
        // The interleaved call assumes two channels: a mono chunk would be over-read and come out as
        // noise. The same buffer serves as both channels of a mono encoder.
        written = api_->encodeBuffer(stream->encoder_, samples, samples, frames, output, capacity);
    } else {
        written = api_->encodeBufferInterleaved(stream->encoder_, const_cast<short*>(samples), frames, output,
                                                capacity);
    }
    if (written < 0) {
        *produced = 0;
        return written == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    *produced = uint32_t(written);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR LameAdapter::beDeinitStream(LameStream* stream, uint8_t* output, uint32_t* produced)
{
    if (!stream || !stream->encoder_ || !output || !produced)
        return BE_ERR_INVALID_HANDLE;
    // The flush needs at most 7200 bytes; the output buffer is always larger.
    const int written = api_->encodeFlush(stream->encoder_, output, 7200);
    if (written < 0) {
        *produced = 0;
        return BE_ERR_BUFFER_TOO_SMALL;
    }
    *produced = uint32_t(written);
    if (api_->getLametagFrame) {
        // The frame exists only while the encoder does, and beCloseStream comes first.
        unsigned char frame[2880];
        const size_t size = api_->getLametagFrame(stream->encoder_, frame, sizeof frame);
        if (size > 0 && size <= sizeof frame)
            stream->infoFrame_.assign(frame, frame + size);
    }
    return BE_ERR_SUCCESSFUL;
}

BE_ERR LameAdapter::beCloseStream(LameStream* stream)
{
    if (!stream || !stream->encoder_)
        return BE_ERR_INVALID_HANDLE;
    if (!api_->getLametagFrame && api_->mp3TagsFid) {
        // beWriteVBRHeader works on the library's own state of the last stream.
        if (pendingHeaderEncoder_)
            CloseEncoder(pendingHeaderEncoder_);
        pendingHeaderEncoder_ = stream->encoder_;
    } else {
        CloseEncoder(stream->encoder_);
    }
    stream->encoder_ = nullptr;
    return BE_ERR_SUCCESSFUL;
}

BE_ERR LameAdapter::beWriteInfoTag(LameStream* stream, const char* path)
{
    if (!stream || !path)
        return BE_ERR_INVALID_HANDLE;
    const std::vector<uint8_t>& frame = stream->infoFrame_;
    if (frame.empty())
        return BE_ERR_INVALID_FORMAT;
    FileHandle file;
    if (!file.Open(path, OpenMode::ReadWrite))
        return BE_ERR_INVALID_HANDLE;
    // The encoder began the file with a placeholder frame of exactly this size; make sure that is what
    // lies at offset 0 before overwriting it.
    uint8_t head[4] = {};
    if (file.FileSize() < int64_t(frame.size()) || pread(file.Fd(), head, sizeof head, 0) != ssize_t(sizeof head) ||
        head[0] != 0xFF || (head[1] & 0xE0) != 0xE0)
        return BE_ERR_INVALID_FORMAT;
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = pwrite(file.Fd(), frame.data() + done, frame.size() - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return BE_ERR_INVALID_HANDLE;
        done += size_t(n);
    }
    return BE_ERR_SUCCESSFUL;
}

BE_ERR LameAdapter::beWriteVBRHeader(const char* path)
{
    if (!path || !pendingHeaderEncoder_ || !api_->mp3TagsFid)
        return BE_ERR_INVALID_HANDLE;
    lame_global_struct* encoder = pendingHeaderEncoder_;
    pendingHeaderEncoder_ = nullptr;
    BE_ERR result = BE_ERR_INVALID_HANDLE;
    // The library seeks, reads and rewrites the file through stdio.
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "r+b"), &std::fclose);
    if (file) {
        api_->mp3TagsFid(encoder, file.get());
        result = std::fclose(file.release()) == 0 ? BE_ERR_SUCCESSFUL : BE_ERR_INVALID_HANDLE;
    }
    CloseEncoder(encoder);
    return result;
}

}  // namespace brindle

// A thin BladeEnc-style face over the LAME encoder library, which is loaded at run time (never
// linked). The exporter speaks the six classic operations (beInitStream, beEncodeChunk,
// beDeinitStream, beCloseStream, beWriteVBRHeader, beWriteInfoTag) with the classic BE_CONFIG record;
// this adapter turns them into lame_* calls resolved with dlsym from libmp3lame.so.0.
//
// One adapter per loaded library. Streams are started and closed on one thread (starting an encoder
// fills tables the library shares); once started, different streams may encode on different
// threads at once (beEncodeChunk, beDeinitStream), as an export in ranges does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats/library_handle.h"

struct lame_global_struct;  // the library's encoder state (lame.h)

namespace brindle {

// Result codes of the operations; 0 is success.
using BE_ERR = uint32_t;
inline constexpr BE_ERR BE_ERR_SUCCESSFUL = 0;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT = 1;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 2;
inline constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 3;
inline constexpr BE_ERR BE_ERR_INVALID_HANDLE = 4;
inline constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 5;

inline constexpr uint32_t BE_CONFIG_LAME = 256;
inline constexpr uint32_t CURRENT_STRUCT_VERSION = 1;
inline constexpr int32_t BE_MP3_MODE_STEREO = 0;
inline constexpr int32_t BE_MP3_MODE_JSTEREO = 1;
inline constexpr int32_t BE_MP3_MODE_DUALCHANNEL = 2;
inline constexpr int32_t BE_MP3_MODE_MONO = 3;
inline constexpr int32_t LQP_HIGH_QUALITY = 2;
inline constexpr uint32_t MPEG1 = 1;
inline constexpr int32_t VBR_METHOD_DEFAULT = 0;

// The encoder's published configuration record in its LAME layout ("LHV1"): packed, 331 bytes.
#pragma pack(push, 1)
struct BE_CONFIG {
    uint32_t dwConfig;
    union {
        struct {
            uint32_t dwStructVersion;
            uint32_t dwStructSize;
            uint32_t dwSampleRate;    // of the input
            uint32_t dwReSampleRate;  // 0: the encoder decides
            int32_t nMode;            // BE_MP3_MODE_*
            uint32_t dwBitrate;       // kbit/s; the minimum for VBR
            uint32_t dwMaxBitrate;    // kbit/s; VBR only
            int32_t nPreset;
            uint32_t dwMpegVersion;
            uint32_t dwPsyModel;
            uint32_t dwEmphasis;
            int32_t bPrivate;
            int32_t bCRC;
            int32_t bCopyright;
            int32_t bOriginal;
            int32_t bWriteVBRHeader;
            int32_t bEnableVBR;
            int32_t nVBRQuality;  // 0 (best) .. 9
            uint32_t dwVbrAbr_bps;
            int32_t nVbrMethod;
            int32_t bNoRes;  // bit reservoir off
            int32_t bStrictIso;
            uint16_t nQuality;
            uint8_t btReserved[255 - 4 * sizeof(uint32_t) - sizeof(uint16_t)];
        } LHV1;
    } format;
};
#pragma pack(pop)
static_assert(sizeof(BE_CONFIG) == 331, "BE_CONFIG must keep the encoder's published layout");

class LameAdapter;

// A record in the LAME layout for sampleRate and mode (BE_MP3_MODE_*), everything else zero.
BE_CONFIG LameConfig(uint32_t sampleRate, int32_t mode);

// The state of one encoding, handed out by beInitStream and owned by the caller. Destroying it
// releases the encoder if beCloseStream was never reached (a failed export).
class LameStream {
public:
    ~LameStream();
    LameStream(const LameStream&) = delete;
    LameStream& operator=(const LameStream&) = delete;

private:
    friend class LameAdapter;
    LameStream() = default;

    LameAdapter* adapter_ = nullptr;
    lame_global_struct* encoder_ = nullptr;
    int channelCount_ = 0;
    int samplesPerChunk_ = 0;      // all channels together
    std::vector<uint8_t> infoFrame_;  // the final info/VBR frame, taken before the encoder closes
};

class LameAdapter {
public:
    // Loads the first library of the list that loads and has every required lame_* symbol; each entry
    // is a path or a bare name. Null when none does; failure (when given) then names the entry point
    // the first library that did load lacked, or is empty when none loaded at all.
    // useInfoTag false treats the library as one without lame_get_lametag_frame (an older build), so
    // that the beWriteVBRHeader route is taken.
    static std::unique_ptr<LameAdapter> Load(const std::vector<std::string>& candidates, bool useInfoTag = true,
                                             std::string* failure = nullptr);

    ~LameAdapter();
    LameAdapter(const LameAdapter&) = delete;
    LameAdapter& operator=(const LameAdapter&) = delete;

    // Where the library was loaded from.
    std::string LoadedPath() const { return library_.LoadedPath(); }
    // False when the library cannot hand out the final info frame; then beWriteVBRHeader is the route.
    bool HasWriteInfoTag() const;

    // Starts an encoding with the settings of config (only the LAME layout is accepted). samples is
    // the number of 16-bit samples (all channels together) to pass per beEncodeChunk, bufferBytes the
    // size of the output buffer each call needs.
    BE_ERR beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* bufferBytes,
                        std::unique_ptr<LameStream>* stream);
    // sampleCount interleaved samples (all channels, at most the chunk size); produced gets the bytes
    // written to output, which holds bufferBytes.
    BE_ERR beEncodeChunk(LameStream* stream, uint32_t sampleCount, const int16_t* samples, uint8_t* output,
                         uint32_t* produced);
    // Flushes the last frames into output and keeps the final info frame for beWriteInfoTag.
    BE_ERR beDeinitStream(LameStream* stream, uint8_t* output, uint32_t* produced);
    // Releases the encoder. Without the info-frame call, the encoder is kept for beWriteVBRHeader.
    BE_ERR beCloseStream(LameStream* stream);
    // Rewrites the placeholder first frame of the finished file at path with the stream's info frame.
    BE_ERR beWriteInfoTag(LameStream* stream, const char* path);
    // The older route: the library itself rewrites the header of the last stream closed.
    BE_ERR beWriteVBRHeader(const char* path);

    // Beyond the six operations, for an export in ranges. The samples by which the encoder delays
    // its input, and the rate it encodes at; -1 and 0 when the library cannot say. Both need a
    // stream that beDeinitStream has not yet finished with.
    int EncoderDelay(const LameStream* stream) const;
    uint32_t OutputSampleRate(const LameStream* stream) const;
    // The info frame beDeinitStream kept (empty without one), which beWriteInfoTag writes; an export
    // in ranges replaces it with one that describes the whole file.
    const std::vector<uint8_t>& InfoFrame(const LameStream* stream) const { return stream->infoFrame_; }
    void SetInfoFrame(LameStream* stream, std::vector<uint8_t> frame) const { stream->infoFrame_ = std::move(frame); }

private:
    LameAdapter();
    void CloseEncoder(lame_global_struct* encoder);

    struct Api;  // the lame_* entry points, typed by lame.h in the implementation

    LibraryHandle library_;
    std::unique_ptr<Api> api_;

    // The encoder of the last stream closed without an info frame, kept for beWriteVBRHeader.
    lame_global_struct* pendingHeaderEncoder_ = nullptr;

    friend class LameStream;
};

}  // namespace brindle

#include "formats/mp3_document.h"

#include <system_error>

#include "formats/mp3_decoder.h"
#include "formats/mp3_encoder.h"
#include "formats/wav_file.h"
#include "storage/temp_files.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

// Deletes the temporary WAV file however the import ends.
class TempFileRemover {
public:
    explicit TempFileRemover(std::filesystem::path path) : path_(std::move(path)) {}
    ~TempFileRemover()
    {
        std::error_code ignored;
        if (!path_.empty() && ExistsFile(path_))
            std::filesystem::remove(path_, ignored);
    }
    TempFileRemover(const TempFileRemover&) = delete;
    TempFileRemover& operator=(const TempFileRemover&) = delete;

private:
    std::filesystem::path path_;
};

int Finish(Progress* progress, int result)
{
    if (progress) {
        if (result)
            progress->Complete();
        else
            progress->Fail();
    }
    return result;
}

}  // namespace

int Mp3Document::LoadMp3(const std::filesystem::path& path, Progress* progress)
{
    if (path.empty() || !ExistsFile(path))
        return 0;
    tags.ReadTags(path);
    if (progress && progress->IsCancelled())
        return Finish(progress, 0);

    const uint32_t range = progress ? progress->Range() : 0;
    const uint32_t decodeSpan = range / 2;
    int result = 0;
    {
        const std::filesystem::path wavPath = MakeTempFileName();
        TempFileRemover remover(wavPath);
        if (!wavPath.empty()) {
            int decoded = 0;
            {
                Mp3Decoder decoder;
                if (progress) {
                    SubProgress decodePart(*progress, decodeSpan);
                    decoded = decoder.DecodeToWav(wavPath, path, &decodePart);
                } else {
                    decoded = decoder.DecodeToWav(wavPath, path, nullptr);
                }
            }
            if (decoded) {
                if (progress) {
                    SubProgress importPart(*progress, range - decodeSpan);
                    result = LoadWav(buffer, wavPath, &importPart);
                } else {
                    result = LoadWav(buffer, wavPath, nullptr);
                }
            }
        }
    }
    if (!result)
        buffer.Clear();
    return Finish(progress, result);
}

int Mp3Document::SaveMp3(const std::filesystem::path& path, Progress* progress)
{
    int result = 0;
    if (buffer.IsCompact() || buffer.IsEmpty()) {
        result = EncodeToMp3(path, buffer, progress);
    } else {
        const uint32_t range = progress ? progress->Range() : 0;
        const uint32_t copySpan = uint32_t(double(range) * 0.2);
        SoundBuffer compacted;
        if (progress) {
            SubProgress copyPart(*progress, copySpan);
            result = buffer.CopyCompactedTo(compacted, &copyPart);
        } else {
            result = buffer.CopyCompactedTo(compacted, nullptr);
        }
        if (result) {
            if (progress) {
                SubProgress encodePart(*progress, range - copySpan);
                result = EncodeToMp3(path, compacted, &encodePart);
            } else {
                result = EncodeToMp3(path, compacted, nullptr);
            }
        }
    }
    Finish(progress, result);
    if (result && !tags.IsEmpty())
        tags.WriteTags(path);
    return result;
}

}  // namespace brindle

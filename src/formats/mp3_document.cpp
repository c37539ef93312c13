#include "formats/mp3_document.h"

#include <optional>

#include "formats/mp3_decoder.h"
#include "formats/mp3_encoder.h"
#include "storage/temp_files.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

// A stage's share of the caller's progress, or none when nobody watches.
class Stage {
public:
    Stage(Progress* parent, uint32_t span)
    {
        if (parent)
            part_.emplace(*parent, span);
    }
    Progress* Get() { return part_ ? &*part_ : nullptr; }

private:
    std::optional<SubProgress> part_;
};

}  // namespace

int Mp3Document::LoadMp3(const std::filesystem::path& path, Progress* progress)
{
    if (path.empty() || !ExistsFile(path))
        return 0;
    tags.ReadTags(path, progress);
    if (IsCancelled(progress))
        return FinishProgress(progress, 0);

    // Decoding into the stores is the decoding and the import in one pass: it moves the bar through
    // both halves.
    const uint32_t range = progress ? progress->Range() : 0;
    int result = 0;
    {
        Mp3Decoder decoder;
        Stage decodePart(progress, range);
        result = decoder.DecodeInto(buffer, path, decodePart.Get());
    }
    if (result && IsCancelled(progress))
        result = 0;
    if (!result)
        buffer.Clear();
    return FinishProgress(progress, result);
}

int Mp3Document::SaveMp3(const std::filesystem::path& path, Progress* progress)
{
    int result = EncodeToMp3(path, buffer, progress);
    // A file whose tags could not be written is not the file the user saved: the save fails.
    if (result && tags.HasAnythingToWrite())
        result = tags.WriteTags(path, progress);
    return FinishProgress(progress, result);
}

}  // namespace brindle

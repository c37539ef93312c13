#include "document/document.h"

#include <algorithm>
#include <cctype>
#include <sys/stat.h>

#include "edit/sound_edits.h"
#include "formats/wav_file.h"
#include "storage/replacing_file.h"
#include "storage/temp_files.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

std::string LowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// Splits a file name at its last "." the way the save proposal does: "a.b.mp3" -> "a.b", "mp3".
void SplitAtLastDot(const std::string& fileName, std::string& stem, std::string& extension)
{
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) {
        stem = fileName;
        extension.clear();
    } else {
        stem = fileName.substr(0, dot);
        extension = fileName.substr(dot + 1);
    }
}


// Refuses what is not a regular file before anything opens it: opening a FIFO with no writer blocks,
// and reading a device never ends. Notes the reason.
bool IsRegularFile(const std::filesystem::path& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        NoteSystemFailure();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        NoteFailure({FailureKind::Format, S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file"});
        return false;
    }
    return true;
}

// The reason noted on this thread, else cancellation, else fallback.
FailureReason ReasonOf(const Progress* progress, const char* fallback)
{
    if (IsCancelled(progress))
        return {FailureKind::Cancelled, "cancelled"};
    if (LastFailure().IsSet())
        return LastFailure();
    return {FailureKind::Format, fallback};
}

}  // namespace

FileType FileKind(const std::filesystem::path& path)
{
    std::string stem, extension;
    SplitAtLastDot(path.filename().string(), stem, extension);
    if (stem.size() == path.filename().string().size())
        return FileType::Unknown;  // no dot at all
    extension = LowerCase(extension);
    if (extension == "mp3")
        return FileType::Mp3;
    if (extension == "wav")
        return FileType::Wav;
    return FileType::Unknown;
}

bool Document::IsEmpty() const { return ActiveBuffer().IsEmpty(); }

void Document::Reset()
{
    peaks_.Clear();
    mp3_.Reset();
    mp3_.tags.Clear();
    plain_.Clear();
    sourcePath_.clear();
    targetPath_.clear();
    pendingTarget_.clear();
    modified_ = false;
}

int Document::Load(const std::filesystem::path& given, Progress* progress)
{
    ClearLastFailure();
    const int result = LoadFile(given.empty() ? sourcePath_ : given, progress);
    lastFailure_ = result ? FailureReason{} : ReasonOf(progress, "cannot read this file");
    return result;
}

int Document::LoadFile(const std::filesystem::path& path, Progress* progress)
{
    peaks_.Clear();
    mp3_.Reset();
    // A sound's tags are the file's it came from: a WAV opened after an MP3 must not save with them.
    mp3_.tags.Clear();
    plain_.Clear();
    modified_ = true;
    int result = 0;
    if (IsRegularFile(path)) {
        switch (FileKind(path)) {
        case FileType::Wav: result = LoadWav(plain_, path, progress); break;
        case FileType::Mp3: result = mp3_.LoadMp3(path, progress); break;
        default: NoteFailure({FailureKind::Format, "not an .mp3 or .wav file"}); break;
        }
    }
    if (!result) {
        mp3_.Reset();
        plain_.Clear();
        modified_ = true;
        return 0;
    }
    // A failed pass leaves it empty, and the view makes its own. A cancel during it cancels the load:
    // the user pressed Cancel while the window still offered it.
    if (preparesPeaks_ && !peaks_.Build(ActiveBuffer().channels, progress) && IsCancelled(progress)) {
        mp3_.Reset();
        plain_.Clear();
        modified_ = true;
        return 0;
    }
    modified_ = false;
    sourcePath_ = path;
    targetPath_.clear();
    return 1;
}

int Document::SaveInto(const std::filesystem::path& file, FileType kind, Progress* progress)
{
    if (kind == FileType::Wav) {
        if (mp3_.buffer.HasSound() && !plain_.HasSound())
            plain_.TakeFrom(mp3_.buffer);
        return SaveWav(plain_, file, progress);
    }
    if (plain_.HasSound() && !mp3_.buffer.HasSound())
        mp3_.buffer.TakeFrom(plain_);
    return mp3_.SaveMp3(file, progress);
}

int Document::Save(const std::filesystem::path& given, Progress* progress)
{
    ClearLastFailure();
    const int result = SaveFile(given, progress);
    lastFailure_ = result ? FailureReason{} : ReasonOf(progress, "cannot write the file");
    return result;
}

int Document::SaveFile(const std::filesystem::path& given, Progress* progress)
{
    const std::filesystem::path target = given.empty() ? targetPath_ : given;
    const FileType kind = FileKind(target);
    if (target.empty() || kind == FileType::Unknown) {
        NoteFailure({FailureKind::Format, "the name must end in .mp3 or .wav"});
        return 0;
    }
    // Saving over a link writes the file it points to, as the user would expect; the file is written
    // beside that one and takes its place only when complete and on disk.
    const int saved = Guarded([&] {
        ReplacingFile file;
        file.Open(target);
        if (!SaveInto(file.Path(), kind, progress))
            return false;
        if (IsCancelled(progress))
            ThrowCancelled();
        file.Commit();
        return true;
    });
    if (!saved) {
        if (progress)
            progress->Fail();
        return 0;
    }
    modified_ = false;
    targetPath_ = given.empty() ? targetPath_ : given;
    return 1;
}

std::string Document::DisplayName() const
{
    if (sourcePath_.empty())
        return {};
    return (targetPath_.empty() ? sourcePath_ : targetPath_).filename().string();
}

std::filesystem::path Document::ProposeSaveName() const
{
    if (sourcePath_.empty())
        return "Untitled";
    std::string stem, extension;
    SplitAtLastDot(sourcePath_.filename().string(), stem, extension);
    const std::filesystem::path folder = sourcePath_.parent_path();
    for (unsigned n = 1;; ++n) {
        const std::filesystem::path candidate =
            (folder / (stem + " (" + std::to_string(n) + ")." + extension)).lexically_normal();
        if (!ExistsFile(candidate))
            return candidate;
    }
}

template <class Edit>
int Document::Edited(Edit&& edit)
{
    ClearLastFailure();
    const int result = edit(ActiveBuffer());
    lastFailure_ = result ? FailureReason{} : ReasonOf(nullptr, "cannot change the sound");
    // Even a failed edit may have changed some samples.
    peaks_.Clear();
    if (result)
        modified_ = true;
    return result;
}

int Document::DeleteRange(int64_t start, int64_t end, bool removeInside)
{
    return Edited([&](SoundBuffer& sound) { return sound.DeleteRange(start, end, removeInside); });
}

int Document::ChangeVolume(int64_t start, int64_t end, int32_t percent)
{
    return Edited([&](SoundBuffer& sound) { return brindle::ChangeVolume(sound, start, end, percent); });
}

int Document::IncreaseVolume(int64_t start, int64_t end)
{
    return Edited([&](SoundBuffer& sound) { return brindle::IncreaseVolume(sound, start, end); });
}

int Document::FadeIn(int64_t start, int64_t end)
{
    return Edited([&](SoundBuffer& sound) { return brindle::FadeIn(sound, start, end); });
}

int Document::FadeOut(int64_t start, int64_t end)
{
    return Edited([&](SoundBuffer& sound) { return brindle::FadeOut(sound, start, end); });
}

int Document::ToStereo(Progress* progress)
{
    return Edited([&](SoundBuffer& sound) { return brindle::ToStereo(sound, progress); });
}

int Document::ToMono()
{
    return Edited([](SoundBuffer& sound) { return brindle::ToMono(sound); });
}

bool Document::CanConvertToMono() const { return ActiveBuffer().channels.IsStereo(); }

bool Document::CanConvertToStereo() const { return ActiveBuffer().channels.IsMono(); }

FileType Document::Kind() const
{
    if (mp3_.buffer.HasSound())
        return FileType::Mp3;
    if (plain_.HasSound())
        return FileType::Wav;
    return FileType::Unknown;
}

SoundBuffer& Document::ActiveBuffer() { return mp3_.buffer.HasSound() ? mp3_.buffer : plain_; }

const SoundBuffer& Document::ActiveBuffer() const { return mp3_.buffer.HasSound() ? mp3_.buffer : plain_; }

}  // namespace brindle

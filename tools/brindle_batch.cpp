// brindle-batch: the editor's Document from the command line, for scripts, batch work and benchmarks.
//
//   brindle-batch INPUT [ACTION...] [-o OUTPUT]
//
// Opens INPUT as the editor opens a file, runs the actions in order, and saves to OUTPUT as the editor
// saves. Load and save run on the same worker task as in the editor; Ctrl+C cancels them. An MP3
// saved as WAV with no action between is decoded straight into the WAV file instead, to the same
// bytes.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "document/document.h"
#include "document/document_task.h"
#include "formats/mp3_frames.h"
#include "formats/mp3_to_wav.h"
#include "storage/source_file.h"
#include "tasks/yield_pacer.h"

namespace {

using brindle::DialogProgress;
using brindle::Document;
using brindle::DocumentTask;
using brindle::Mp3ToWav;
using brindle::TaskMode;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;
// The highest true peak --loudness lets its gain make.
constexpr double kLoudnessCeilingDbfs = -1.0;

const char kUsageLineEn[] = "usage: brindle-batch INPUT [ACTION...] [-o OUTPUT] (--help lists the actions)\n";

const char kUsageEn[] =
    "usage: brindle-batch INPUT [ACTION...] [-o OUTPUT]\n"
    "Opens INPUT (.mp3, .wav, .flac, .ogg, .oga or .opus), runs the actions in order, saves to OUTPUT\n"
    "(the same endings; .ogg and .oga are saved as Vorbis, .opus at 48 kHz) when -o is given.\n"
    "\n"
    "selection (frames, or seconds with a trailing s: 1.5s:3s):\n"
    "  --select A:B       select frames [A, B)\n"
    "  --select-all       select the whole sound\n"
    "  --deselect         clear the selection\n"
    "edits (on the selection, or the whole sound when there is none):\n"
    "  --delete           delete the selection (needs a selection that is not the whole sound)\n"
    "  --keep             delete everything but the selection (same rule)\n"
    "  --volume P         change the volume to P percent\n"
    "  --normalize        raise the volume so the loudest sample is at full scale\n"
    "  --fade-in          fade in\n"
    "  --fade-out         fade out\n"
    "  --mono             convert the whole sound to mono\n"
    "  --stereo           convert the whole sound to stereo\n"
    "  --paste FILE[:A:B]  put FILE, or [A, B) of it, in place of the selection (at the start without one)\n"
    "  --insert-silence SECONDS  put that much silence in place of the selection (at the start without one)\n"
    "  --loudness LUFS    one gain that brings the integrated loudness to LUFS, stopping the true peak at -1 dBFS\n"
    "other:\n"
    "  --info             print the sound as key=value lines, its loudness and peaks included\n"
    "  -o OUTPUT          save the result (format by extension)\n"
    "  -q                 no progress bar\n"
    "  -v                 say how the output was made (of an MP3: how much was encoded anew, and why)\n"
    "  --help             this text\n"
    "  --                 what follows is the input file, even if it starts with -\n"
    "exit status: 0 success, 1 a load, edit or save failed, 2 usage error, 130 cancelled\n";

const char kUsageLineRu[] =
    "использование: brindle-batch ВХОД [ДЕЙСТВИЕ...] [-o ВЫХОД] (--help перечисляет действия)\n";

const char kUsageRu[] =
    "использование: brindle-batch ВХОД [ДЕЙСТВИЕ...] [-o ВЫХОД]\n"
    "Открывает ВХОД (.mp3, .wav, .flac, .ogg, .oga или .opus), выполняет действия по порядку и с -o сохраняет\n"
    "в ВЫХОД (те же расширения; .ogg и .oga сохраняются как Vorbis, .opus при 48 кГц).\n"
    "\n"
    "выделение (в кадрах или в секундах с s на конце: 1.5s:3s):\n"
    "  --select A:B       выделить кадры [A, B)\n"
    "  --select-all       выделить весь звук\n"
    "  --deselect         снять выделение\n"
    "изменения (выделения, а без него всего звука):\n"
    "  --delete           удалить выделенное (нужно выделение не всего звука)\n"
    "  --keep             удалить всё, кроме выделенного (то же правило)\n"
    "  --volume P         изменить громкость до P процентов\n"
    "  --normalize        поднять громкость, чтобы самый громкий отсчёт стал полной шкалой\n"
    "  --fade-in          возрастание\n"
    "  --fade-out         затухание\n"
    "  --mono             весь звук в моно\n"
    "  --stereo           весь звук в стерео\n"
    "  --paste ФАЙЛ[:A:B]  вставить ФАЙЛ или его [A, B) вместо выделения (без него в начало)\n"
    "  --insert-silence СЕКУНДЫ  вставить столько тишины вместо выделения (без него в начало)\n"
    "  --loudness LUFS    одно усиление до интегральной громкости LUFS, истинный пик не выше -1 дБFS\n"
    "прочее:\n"
    "  --info             вывести звук строками ключ=значение, с громкостью и пиками\n"
    "  -o ВЫХОД           сохранить результат (формат по расширению)\n"
    "  -q                 без полосы хода\n"
    "  -v                 сказать, как сделан выход (у MP3: сколько перекодировано и почему)\n"
    "  --help             этот текст\n"
    "  --                 дальше идёт входной файл, даже если начинается с -\n"
    "код выхода: 0 успех, 1 не удалась загрузка, изменение или сохранение, 2 ошибка вызова, 130 отменено\n";

// Russian under a Russian locale (the first of LC_ALL, LC_MESSAGES and LANG that is set, as the editor
// reads it), English under every other; the system's own reasons stay as the system gives them.
bool Russian()
{
    static const bool russian = [] {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = std::getenv(name);
            if (value && *value)
                return std::strncmp(value, "ru", 2) == 0;
        }
        return false;
    }();
    return russian;
}

std::string Say(const char* english, const char* russian) { return Russian() ? russian : english; }

volatile std::sig_atomic_t gInterrupted = 0;

// The length of the printable UTF-8 sequence at text[i]: a whole, shortest-form encoding of a code
// point that is neither a surrogate nor a C1 control (0x80..0x9f can start terminal escape
// sequences). 0 when there is none.
size_t PrintableSequenceLength(const std::string& text, size_t i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead >= 0xf5 ? 0 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    uint32_t code = lead & (0x7fu >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80)
            return 0;
        code = code << 6 | (next & 0x3fu);
    }
    const uint32_t smallest = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0xa0;
    const bool isSurrogate = code >= 0xd800 && code <= 0xdfff;
    return code >= smallest && code <= 0x10ffff && !isSurrogate ? length : 0;
}

// Text from a file name or a tag, safe to print on one line of a terminal or of key=value output:
// control characters, backslashes and bytes that are not printable UTF-8 are escaped (\n, \\, \x1b);
// printable UTF-8 such as Cyrillic names passes unchanged.
std::string Printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (const size_t length = PrintableSequenceLength(text, i)) {
                out.append(text, i, length);
                i += length;
                continue;
            }
        }
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        }
        ++i;
    }
    return out;
}

void OnInterrupt(int) { gInterrupted = 1; }

// One end of a selection as given: a frame number, or seconds when it ends in "s".
struct Position {
    double value = 0;
    bool isSeconds = false;
};

struct Action {
    std::string name;
    std::string argument;
    Position from, to;  // --select only
};

struct Options {
    std::string input;
    std::string output;
    bool quiet = false;
    bool verbose = false;
    std::vector<Action> actions;
};

bool ParsePosition(const std::string& text, Position& position)
{
    if (text.empty())
        return false;
    std::string number = text;
    position.isSeconds = number.back() == 's';
    if (position.isSeconds)
        number.pop_back();
    if (number.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    position.value = std::strtod(number.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(position.value) || position.value < 0)
        return false;
    // Frames are whole numbers; seconds may have a fraction.
    return position.isSeconds || number.find_first_not_of("0123456789") == std::string::npos;
}

bool ParsePercent(const std::string& text, int32_t& percent)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        return false;
    percent = int32_t(std::strtol(text.c_str(), nullptr, 10));
    return true;
}

// Returns the exit status for a usage error, or nothing when the arguments are fine.
std::optional<int> ParseArguments(int argc, char** argv, Options& options)
{
    auto usageError = [](const std::string& message) {
        std::fprintf(stderr, "brindle-batch: %s\n%s", message.c_str(), Russian() ? kUsageLineRu : kUsageLineEn);
        return std::optional<int>(kExitUsage);
    };
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!options.input.empty())
                return usageError(Say("only one input file: ", "входной файл только один: ") + Printable(arg));
            options.input = arg;
            continue;
        }
        auto needsValue = [&](std::string& value) {
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(Russian() ? kUsageRu : kUsageEn, stdout);
            return kExitOk;
        } else if (arg == "-q") {
            options.quiet = true;
        } else if (arg == "-v") {
            options.verbose = true;
        } else if (arg == "-o") {
            if (!options.output.empty())
                return usageError(Say("-o given twice", "-o задан дважды"));
            if (!needsValue(options.output) || options.output.empty())
                return usageError(Say("-o needs a file name", "после -o нужно имя файла"));
            if (brindle::FileKind(options.output) == brindle::FileType::Unknown)
                return usageError(Say("cannot save as ", "нельзя сохранить как ") + Printable(options.output) +
                                  Say(": the name must end in .mp3, .wav, .flac, .ogg, .oga or .opus",
                                      ": имя должно кончаться на .mp3, .wav, .flac, .ogg, .oga или .opus"));
        } else if (arg == "--select") {
            Action action{arg, {}, {}, {}};
            if (!needsValue(action.argument))
                return usageError(Say("--select needs A:B", "после --select нужно A:B"));
            const size_t colon = action.argument.find(':');
            if (colon == std::string::npos || !ParsePosition(action.argument.substr(0, colon), action.from) ||
                !ParsePosition(action.argument.substr(colon + 1), action.to))
                return usageError(Say("bad selection '", "неверное выделение '") + Printable(action.argument) +
                                  Say("': want A:B in frames or seconds (1.5s:3s)",
                                      "': нужно A:B в кадрах или секундах (1.5s:3s)"));
            options.actions.push_back(action);
        } else if (arg == "--volume") {
            Action action{arg, {}, {}, {}};
            int32_t percent = 0;
            if (!needsValue(action.argument) || !ParsePercent(action.argument, percent))
                return usageError(Say("--volume needs a whole percentage", "после --volume нужно целое число процентов"));
            options.actions.push_back(action);
        } else if (arg == "--paste") {
            Action action{arg, {}, {}, {}};
            if (!needsValue(action.argument) || action.argument.empty())
                return usageError(Say("--paste needs FILE or FILE:A:B", "после --paste нужен ФАЙЛ или ФАЙЛ:A:B"));
            // FILE:A:B when the last two fields are positions; else the whole argument names the file.
            const size_t last = action.argument.rfind(':');
            const size_t before = last == std::string::npos || last == 0 ? std::string::npos
                                                                         : action.argument.rfind(':', last - 1);
            Position from, to;
            if (before != std::string::npos && before > 0 &&
                ParsePosition(action.argument.substr(before + 1, last - before - 1), from) &&
                ParsePosition(action.argument.substr(last + 1), to)) {
                action.from = from;
                action.to = to;
                action.name = "--paste-range";
                action.argument.resize(before);
            }
            options.actions.push_back(action);
        } else if (arg == "--loudness") {
            Action action{arg, {}, {}, {}};
            char* end = nullptr;
            const double target = needsValue(action.argument) ? std::strtod(action.argument.c_str(), &end) : 0;
            if (action.argument.empty() || end != action.argument.c_str() + action.argument.size() ||
                !(target >= -70 && target <= 0))
                return usageError(Say("--loudness needs a target from -70 to 0 LUFS", "после --loudness нужна цель от -70 до 0 LUFS"));
            options.actions.push_back(action);
        } else if (arg == "--insert-silence") {
            Action action{arg, {}, {}, {}};
            char* end = nullptr;
            const double seconds = needsValue(action.argument) ? std::strtod(action.argument.c_str(), &end) : 0;
            if (action.argument.empty() || end != action.argument.c_str() + action.argument.size() ||
                !(seconds > 0 && seconds <= 36000))
                return usageError(Say("--insert-silence needs seconds above 0 (at most 36000)",
                                      "после --insert-silence нужны секунды больше 0 (не больше 36000)"));
            options.actions.push_back(action);
        } else if (arg == "--select-all" || arg == "--deselect" || arg == "--delete" || arg == "--keep" ||
                   arg == "--normalize" || arg == "--fade-in" || arg == "--fade-out" || arg == "--mono" ||
                   arg == "--stereo" || arg == "--info") {
            options.actions.push_back(Action{arg, {}, {}, {}});
        } else {
            return usageError(Say("unknown option ", "неизвестный параметр ") + Printable(arg));
        }
    }
    if (options.input.empty())
        return usageError(Say("no input file", "нет входного файла"));
    return std::nullopt;
}

// Collects the task's notifications on the main thread and draws the progress bar.
class BatchNotifier final : public brindle::TaskNotifier {
public:
    void PostTaskNotify(uint32_t kind, uint32_t position) override
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({kind, position});
        ready_.notify_one();
    }

    // Waits for the end of the task that moves progress, drawing the bar; Ctrl+C cancels the task's
    // progress. Returns the kind that ended it.
    uint32_t WaitForEnd(DialogProgress& progress, bool showBar, const char* label)
    {
        bool cancelRequested = false;
        for (;;) {
            std::unique_lock lock(mutex_);
            ready_.wait_for(lock, std::chrono::milliseconds(50), [&] { return !queue_.empty(); });
            if (gInterrupted && !cancelRequested) {
                cancelRequested = true;
                progress.Cancel();
            }
            while (!queue_.empty()) {
                const auto [kind, position] = queue_.front();
                queue_.pop_front();
                if (kind == brindle::TaskPosition && showBar)
                    DrawBar(label, position, progress.Range());
                if (kind >= brindle::TaskFinished) {
                    if (showBar)
                        std::fputs("\n", stderr);
                    return kind;
                }
            }
        }
    }

private:
    static void DrawBar(const char* label, uint32_t position, uint32_t range)
    {
        const int width = 40;
        const int filled = range ? int(uint64_t(position) * width / range) : 0;
        std::fprintf(stderr, "\r%s [%-*s] %3u%%", label, width, std::string(size_t(filled), '#').c_str(),
                     range ? unsigned(uint64_t(position) * 100 / range) : 0u);
        std::fflush(stderr);
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<uint32_t, uint32_t>> queue_;
};

// Runs one load or save on the worker, as the editor's progress window does. Returns the end kind.
uint32_t RunTask(Document& document, TaskMode mode, bool showBar)
{
    BatchNotifier notifier;
    DocumentTask task(notifier, document, mode, 1000);
    if (!task.Start())
        return brindle::TaskFailed;
    return notifier.WaitForEnd(task.TaskProgress(), showBar, mode == TaskMode::Load ? "loading" : "saving ");
}

// An MP3 saved as WAV with no edit needs no Document: its frames are decoded straight into the WAV
// file (formats/mp3_to_wav.h), on a worker thread of its own as a load or save would be. The input
// is opened here, once; what cannot go this way (a file that is not an MP3 the frame index can split,
// one that does not open) is left to the load and the save, which also say what is wrong with it.
class ConversionTask final : public brindle::WorkerThread {
public:
    ConversionTask(brindle::TaskNotifier& notifier, std::filesystem::path input, std::filesystem::path output)
        : notifier_(notifier), input_(std::move(input)), output_(std::move(output)), progress_(notifier, 1000)
    {
    }
    ~ConversionTask() override { StopAndWait(); }

    int Start()
    {
        progress_.PostPosition();
        return StartThread();
    }

    int Run() override
    {
        brindle::ClearLastFailure();
        brindle::SourceFile source;
        const uint64_t size = source.Open(input_) ? source.Size() : 0;
        if (size == 0 || size > std::numeric_limits<uint32_t>::max())
            return 0;
        brindle::Mp3FrameIndex index;
        {
            // As a load shares its bar between the frame walk and the decoding.
            brindle::SubProgress walk(progress_, progress_.Range() / 50);
            if (!brindle::IndexMp3Frames(source.Fd(), size, &walk, index))
                return 0;
        }
        whyNot_ = index.notSplittable;
        brindle::SubProgress rest(progress_, progress_.Range() - progress_.Position());
        outcome_ = brindle::ConvertMp3ToWav(source.Fd(), index, output_, &rest);
        reason_ = brindle::LastFailure();
        return outcome_ == Mp3ToWav::Written;
    }

    void AfterRun(int result) override
    {
        const uint32_t kind = result ? brindle::TaskFinished
                              : progress_.IsCancelled() ? brindle::TaskCancelled
                                                        : brindle::TaskFailed;
        notifier_.PostTaskNotify(kind, progress_.Position());
    }

    void CancelProgress(int flag) override
    {
        if (flag && IsRunning())
            progress_.Cancel();
    }

    DialogProgress& TaskProgress() { return progress_; }
    // Read once the task has ended.
    Mp3ToWav Outcome() const { return outcome_; }
    const brindle::FailureReason& Reason() const { return reason_; }
    // Why the index would not split the file; empty when it would, or when it was never read.
    const std::string& WhyNot() const { return whyNot_; }

private:
    brindle::TaskNotifier& notifier_;
    std::filesystem::path input_;
    std::filesystem::path output_;
    DialogProgress progress_;
    Mp3ToWav outcome_ = Mp3ToWav::NotPossible;
    brindle::FailureReason reason_;
    std::string whyNot_;
};

// The frame a position names; more than frameCount when it lies past the end.
int64_t ToFrame(const Position& position, uint32_t rate, uint32_t frameCount)
{
    // Rounded before the comparison: "600s" of a 600-second sound is its last frame's end, not half a
    // frame past it.
    const double frame = position.isSeconds ? std::floor(position.value * rate + 0.5) : position.value;
    return frame > double(frameCount) ? int64_t(frameCount) + 1 : int64_t(frame);
}

void PrintInfo(Document& document)
{
    const brindle::SoundBuffer& sound = document.ActiveBuffer();
    const char* kind = "none";
    switch (document.Kind()) {
    case brindle::FileType::Mp3: kind = "mp3"; break;
    case brindle::FileType::Wav: kind = "wav"; break;
    case brindle::FileType::Flac: kind = "flac"; break;
    case brindle::FileType::Ogg: kind = "ogg"; break;
    case brindle::FileType::Opus: kind = "opus"; break;
    case brindle::FileType::Unknown: break;
    }
    std::printf("kind=%s\n", kind);
    std::printf("channels=%u\n", unsigned(sound.format.channelCount));
    std::printf("rate=%u\n", unsigned(sound.format.samplesPerSecond));
    std::printf("bits=%u\n", unsigned(sound.format.bitsPerSample));
    std::printf("sample_format=%s\n", sound.format.IsFloat() ? "float" : "int");
    std::printf("frames=%u\n", unsigned(sound.channels.FrameCount()));
    std::printf("duration_ms=%llu\n", (unsigned long long)(sound.DurationSeconds() * 1000.0 + 0.5));
    std::printf("modified=%d\n", document.Modified() ? 1 : 0);
    const brindle::FileTags& tags = document.Tags();
    const std::pair<const char*, const std::string*> texts[] = {
        {"title", &tags.title},   {"artist", &tags.artist},  {"album", &tags.album},
        {"genre", &tags.genre},   {"comment", &tags.comment}, {"lyrics", &tags.lyrics},
        {"album_artist", &tags.albumArtist}, {"subtitle", &tags.subtitle}};
    for (const auto& [key, value] : texts) {
        if (!value->empty())
            std::printf("tag.%s=%s\n", key, Printable(*value).c_str());
    }
    if (tags.year)
        std::printf("tag.year=%u\n", unsigned(tags.year));
    if (tags.trackNumber)
        std::printf("tag.track=%u\n", unsigned(tags.trackNumber));
    if (tags.rating)
        std::printf("tag.rating=%u\n", unsigned(tags.rating));
    // A FLAC, Ogg or Opus file's picture blocks, or an MP3's attached picture frames.
    size_t pictures = tags.pictures.size();
    for (const std::string& frame : tags.carriedFrames)
        pictures += frame.rfind("APIC", 0) == 0 ? 1 : 0;
    if (pictures)
        std::printf("tag.pictures=%zu\n", pictures);
    // The whole sound's loudness (EBU R128) and peaks: "-inf" for silence, as for a range too short
    // to gate.
    if (document.Measure(-1, -1)) {
        const brindle::LoudnessFigures& figures = document.Measured();
        auto number = [](double value) {
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", value);
            return std::isfinite(value) ? std::string(text) : std::string(value < 0 ? "-inf" : "inf");
        };
        std::printf("peak_dbfs=%s\n", number(figures.samplePeakDbfs).c_str());
        std::printf("true_peak_dbfs=%s\n", number(figures.truePeakDbfs).c_str());
        std::printf("integrated_lufs=%s\n", number(figures.integratedLufs).c_str());
        std::printf("loudness_range_lu=%s\n", number(figures.rangeLu).c_str());
    }
}

int Fail(const std::string& file, const std::string& what)
{
    std::fprintf(stderr, "brindle-batch: %s: %s\n", Printable(file).c_str(), what.c_str());
    return kExitFailed;
}

// One line on why a load or save failed, in the form Linux commands use: "cannot open NAME: No such
// file or directory" for a system error, "NAME: not a WAV file (no RIFF header)" for unusable content.
int FailWith(const char* verb, const std::string& file, const brindle::FailureReason& reason)
{
    const std::string text = Printable(reason.text);
    if (reason.kind == brindle::FailureKind::Format && std::strcmp(verb, "open") == 0)
        std::fprintf(stderr, "brindle-batch: %s: %s\n", Printable(file).c_str(), text.c_str());
    else
        std::fprintf(stderr, "brindle-batch: %s %s: %s\n",
                     (std::strcmp(verb, "open") == 0 ? Say("cannot open", "не удаётся открыть")
                                                     : Say("cannot save", "не удаётся сохранить"))
                         .c_str(),
                     Printable(file).c_str(), text.c_str());
    return kExitFailed;
}

std::string FormatDuration(uint32_t frameCount, uint32_t rate)
{
    char text[64];
    std::snprintf(text, sizeof text, "%u frames, %.3f s", unsigned(frameCount), rate ? double(frameCount) / rate : 0.0);
    return text;
}

// Applies the actions in order. Returns the exit status.
int RunActions(Document& document, const Options& options)
{
    int64_t selectionStart = -1, selectionEnd = -1;
    for (const Action& action : options.actions) {
        const brindle::SoundBuffer& sound = document.ActiveBuffer();
        const uint32_t frames = sound.channels.FrameCount();
        const bool hasSelection = selectionStart >= 0 && selectionStart < selectionEnd;
        const int64_t start = hasSelection ? selectionStart : -1;
        const int64_t end = hasSelection ? selectionEnd : -1;
        int result = 1;
        brindle::ClearLastFailure();
        if (action.name == "--select") {
            selectionStart = ToFrame(action.from, sound.format.samplesPerSecond, frames);
            selectionEnd = ToFrame(action.to, sound.format.samplesPerSecond, frames);
            if (selectionStart > int64_t(frames) || selectionEnd > int64_t(frames)) {
                std::fprintf(stderr, "brindle-batch: --select %s: past the end of the sound (%s)\n",
                             Printable(action.argument).c_str(),
                             FormatDuration(frames, sound.format.samplesPerSecond).c_str());
                return kExitUsage;
            }
            if (selectionStart >= selectionEnd)
                return Fail(options.input, "empty selection " + Printable(action.argument));
        } else if (action.name == "--select-all") {
            selectionStart = 0;
            selectionEnd = frames;
        } else if (action.name == "--deselect") {
            selectionStart = selectionEnd = -1;
        } else if (action.name == "--delete" || action.name == "--keep") {
            if (!hasSelection || (selectionStart == 0 && selectionEnd == int64_t(frames)))
                return Fail(options.input, action.name.substr(2) + " needs a selection that is not the whole sound");
            result = document.DeleteRange(selectionStart, selectionEnd, action.name == "--delete");
            if (result)
                selectionStart = selectionEnd = -1;
        } else if (action.name == "--volume") {
            result = document.ChangeVolume(start, end, int32_t(std::strtol(action.argument.c_str(), nullptr, 10)));
        } else if (action.name == "--normalize") {
            result = document.IncreaseVolume(start, end);
        } else if (action.name == "--fade-in") {
            result = document.FadeIn(start, end);
        } else if (action.name == "--fade-out") {
            result = document.FadeOut(start, end);
        } else if (action.name == "--mono") {
            result = document.ToMono();
        } else if (action.name == "--stereo") {
            result = document.ToStereo();
        } else if (action.name == "--paste" || action.name == "--paste-range") {
            // The clip's file is opened as the input was, and lives until the paste has taken its pieces.
            Document source;
            if (!source.Load(action.argument))
                return Fail(action.argument, source.LastFailure().text);
            const brindle::SoundBuffer& clip = source.ActiveBuffer();
            int64_t from = 0, to = clip.channels.FrameCount();
            if (action.name == "--paste-range") {
                from = ToFrame(action.from, clip.channels.SampleRate(), clip.channels.FrameCount());
                to = ToFrame(action.to, clip.channels.SampleRate(), clip.channels.FrameCount());
                if (to > int64_t(clip.channels.FrameCount()) || from >= to)
                    return Fail(action.argument, "no frames in the range to paste");
            }
            if (!document.SetClip(clip, from, to))
                return Fail(action.argument, "cannot take the range to paste");
            const int64_t at = hasSelection ? selectionStart : 0;
            result = document.Paste(at, hasSelection ? selectionEnd : at);
            if (result) {
                const int64_t inserted = int64_t(document.ActiveBuffer().channels.FrameCount()) -
                                         (int64_t(frames) - ((hasSelection ? selectionEnd : at) - at));
                selectionStart = at;
                selectionEnd = at + inserted;
                if (!options.quiet && clip.channels.SampleRate() != sound.channels.SampleRate())
                    std::fprintf(stderr, "brindle-batch: %s: resampled from %u Hz to %u Hz\n",
                                 Printable(action.argument).c_str(), unsigned(clip.channels.SampleRate()),
                                 unsigned(document.ActiveBuffer().channels.SampleRate()));
            }
        } else if (action.name == "--loudness") {
            if (!document.Measure(start, end))
                return Fail(options.input, "loudness: cannot measure the sound");
            const brindle::LoudnessFigures& measured = document.Measured();
            if (!std::isfinite(measured.integratedLufs))
                return Fail(options.input, "loudness: too quiet or too short to measure (under 400 ms)");
            double gain = brindle::GainToTarget(measured, std::strtod(action.argument.c_str(), nullptr));
            const double ceiling = brindle::GainToCeiling(measured, kLoudnessCeilingDbfs);
            if (gain > ceiling) {
                if (!options.quiet)
                    std::fprintf(stderr, "brindle-batch: loudness: %+.2f dB would put the true peak over %.1f dBFS; "
                                         "%+.2f dB applied\n", gain, kLoudnessCeilingDbfs, ceiling);
                gain = ceiling;
            }
            result = document.ChangeVolume(start, end, brindle::GainPercent(gain));
        } else if (action.name == "--insert-silence") {
            const double silence = std::floor(std::strtod(action.argument.c_str(), nullptr) * sound.channels.SampleRate() + 0.5);
            if (silence < 1 || silence > double(brindle::kMaxStoredSamples))
                return Fail(options.input, "--insert-silence " + Printable(action.argument) + ": too short or too long");
            const int64_t at = hasSelection ? selectionStart : 0;
            result = document.InsertSilence(at, hasSelection ? selectionEnd : at, uint32_t(silence));
            if (result) {
                selectionStart = at;
                selectionEnd = at + int64_t(silence);
            }
        } else if (action.name == "--info") {
            PrintInfo(document);
        }
        if (!result) {
            const brindle::FailureReason& reason = brindle::LastFailure();
            const std::string name = action.name == "--paste-range" ? "paste" : action.name.substr(2);
            return Fail(options.input, name + " failed" + (reason.IsSet() ? ": " + reason.text : ""));
        }
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const auto status = ParseArguments(argc, argv, options))
        return *status;

    // No window waits for a turn here: the work runs without the editor's pauses between slices.
    brindle::YieldPacer::SetPausing(false);

    struct sigaction interrupt {};
    interrupt.sa_handler = OnInterrupt;
    sigemptyset(&interrupt.sa_mask);
    sigaction(SIGINT, &interrupt, nullptr);
    sigaction(SIGTERM, &interrupt, nullptr);
    const bool showBar = !options.quiet && ::isatty(STDERR_FILENO);

    // Set when an MP3 to be saved as WAV as it is went through a load and a save after all: why.
    std::optional<std::string> loadedWhole;
    if (options.actions.empty() && !options.output.empty() && brindle::FileKind(options.input) == brindle::FileType::Mp3 &&
        brindle::FileKind(options.output) == brindle::FileType::Wav) {
        BatchNotifier notifier;
        ConversionTask task(notifier, std::filesystem::absolute(options.input), std::filesystem::absolute(options.output));
        const uint32_t converted =
            task.Start() ? notifier.WaitForEnd(task.TaskProgress(), showBar, "converting") : brindle::TaskFailed;
        task.Wait();
        if (converted == brindle::TaskCancelled)
            return kExitCancelled;
        switch (task.Outcome()) {
        case Mp3ToWav::Written:
            if (options.verbose)
                std::printf("decoded straight into the WAV file\n");
            return gInterrupted ? kExitCancelled : kExitOk;
        case Mp3ToWav::SourceFailed: return FailWith("open", options.input, task.Reason());
        case Mp3ToWav::TargetFailed: return FailWith("save", options.output, task.Reason());
        case Mp3ToWav::NotPossible: loadedWhole = task.WhyNot(); break;
        }
    }

    Document document;
    document.SetSourcePath(std::filesystem::absolute(options.input));
    const uint32_t loaded = RunTask(document, TaskMode::Load, showBar);
    if (loaded == brindle::TaskCancelled)
        return kExitCancelled;
    if (loaded != brindle::TaskFinished || document.IsEmpty())
        return FailWith("open", options.input, document.LastFailure());

    if (const int status = RunActions(document, options); status != kExitOk)
        return status;

    if (!options.output.empty()) {
        document.SetTargetPath(std::filesystem::absolute(options.output));
        const uint32_t saved = RunTask(document, TaskMode::Save, showBar);
        if (saved == brindle::TaskCancelled)
            return kExitCancelled;
        if (saved != brindle::TaskFinished)
            return FailWith("save", options.output, document.LastFailure());
        // The texts of the editor's status pane, and after a new encoding its reason.
        if (options.verbose && document.SavedWithoutReencoding()) {
            std::printf("Сохранено без перекодирования\n");
        } else if (options.verbose && brindle::FileKind(document.TargetPath()) == brindle::FileType::Mp3) {
            const std::string& why = document.ReencodeReason();
            std::printf("Сохранено, перекодировано %u %% звука%s\n", unsigned(document.ReencodedPercent()),
                        why.empty() ? "" : (" (" + Printable(why) + ")").c_str());
        } else if (options.verbose && loadedWhole) {
            std::printf("loaded and saved%s\n", loadedWhole->empty() ? "" : (" (" + Printable(*loadedWhole) + ")").c_str());
        }
    }
    return gInterrupted ? kExitCancelled : kExitOk;
}

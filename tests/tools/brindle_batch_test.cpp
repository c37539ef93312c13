// brindle-batch as a whole program, on files made by sox and lame.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using test::Quoted;
using test::RunCommand;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& path)
{
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

// The value of a key=value line of --info, from the first block of them after `from`.
std::string Value(const std::string& info, const std::string& key, size_t from = 0)
{
    std::istringstream lines(info.substr(std::min(from, info.size())));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return {};
}

size_t Entries(const fs::path& folder) { return size_t(std::distance(fs::directory_iterator(folder), {})); }

class BrindleBatch : public test::TempDirTest {
protected:
    void SetUp() override
    {
        test::TempDirTest::SetUp();
        tone_ = Quoted(PathOf("tone.wav"));
        ASSERT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 " + tone_ + " synth 4 sine 440 vol 0.5"), 0);
    }
    // A shell command's exit status and what it wrote.
    Outcome Shell(const std::string& command)
    {
        const int status = RunCommand(command + " >" + Quoted(PathOf("stdout")) + " 2>" + Quoted(PathOf("stderr")));
        return {status, Slurp(PathOf("stdout")), Slurp(PathOf("stderr"))};
    }
    // environment: assignments put before the program ("LC_ALL=ru_RU.UTF-8").
    Outcome Run(const std::string& arguments, const std::string& environment = {})
    {
        return Shell(environment + " " + BRINDLE_BATCH + " " + arguments);
    }
    // What soxi says for one option ("-b" bits, "-e" encoding) of the file.
    std::string Soxi(const std::string& option, const fs::path& file)
    {
        const std::string text = Shell("soxi " + option + " " + Quoted(file)).out;
        return text.substr(0, text.find('\n'));
    }
    // "Maximum amplitude" from sox's stat effect, or "Pk lev dB" from stats, of the file or a trim of it.
    double Stat(const fs::path& file, const std::string& key, const std::string& effect = "stat")
    {
        const std::string text = Shell("sox " + Quoted(file) + " -n " + effect).err;
        const size_t at = text.find(key);
        return at == std::string::npos ? -1.0 : std::stod(text.substr(text.find_first_not_of(": ", at + key.size())));
    }
    std::string tone_;  // 4 s of stereo 16-bit sine, 176400 frames, quoted
};

TEST_F(BrindleBatch, SpeaksRussianUnderARussianLocaleAndEnglishUnderEveryOther)
{
    struct Row {
        const char *locale, *help, *refusal;
    };
    for (const Row& row : {Row{"LC_ALL=ru_RU.UTF-8", "использование: brindle-batch ВХОД", "неизвестный параметр --bogus"},
                           Row{"LANG=ru_RU.UTF-8 LC_ALL=", "использование: brindle-batch ВХОД", "неизвестный параметр --bogus"},
                           Row{"LC_ALL=de_DE.UTF-8", "usage: brindle-batch INPUT", "unknown option --bogus"},
                           Row{"LC_ALL=C.UTF-8", "usage: brindle-batch INPUT", "unknown option --bogus"}}) {
        SCOPED_TRACE(row.locale);
        Outcome outcome = Run("--help", row.locale);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out.rfind(row.help, 0), 0u) << outcome.out;
        outcome = Run("--bogus", row.locale);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_NE(outcome.err.find(row.refusal), std::string::npos) << outcome.err;
    }
}

// A load opens its file once: the header, the conversion, the tags, the decoder and the frame index
// all read that one descriptor, so a file renamed or rewritten meanwhile cannot mix into what was
// loaded. Counted by the kernel's own account (strace), so a reader that opens the name itself shows.
TEST_F(BrindleBatch, ALoadOpensItsFileOnce)
{
    const fs::path floats = PathOf("float.wav"), mp3 = PathOf("tone.mp3");
    ASSERT_EQ(RunCommand("sox " + tone_ + " -e floating-point -b 32 " + Quoted(floats) + " && lame --quiet -V2 " + tone_ +
                         " " + Quoted(mp3)),
              0);
    EXPECT_EQ(Run(Quoted(floats) + " --info").status, 0) << "with leak detection";
    for (const fs::path& file : {PathOf("tone.wav"), floats, mp3}) {
        // LeakSanitizer cannot run under ptrace; every other run of the program checks for leaks.
        ASSERT_EQ(RunCommand("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=open,openat -o " +
                             Quoted(PathOf("trace.txt")) + " " + BRINDLE_BATCH + " " + Quoted(file) + " --info >/dev/null"),
                  0);
        const std::string calls = Slurp(PathOf("trace.txt")), quoted = '"' + file.string() + '"';
        size_t opens = 0;
        for (size_t at = calls.find(quoted); at != std::string::npos; at = calls.find(quoted, at + 1))
            ++opens;
        EXPECT_EQ(opens, 1u) << file << ":\n" << calls;
    }
}

TEST_F(BrindleBatch, InfoAndTheChannelEditsThroughAnMp3)
{
    Outcome outcome = Run(tone_ + " --info");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    for (const auto& [key, value] : {std::pair{"kind", "wav"}, {"channels", "2"}, {"rate", "44100"}, {"bits", "16"},
                                     {"sample_format", "int"}, {"frames", "176400"}, {"duration_ms", "4000"},
                                     {"modified", "0"}})
        EXPECT_EQ(Value(outcome.out, key), value) << key;
    ASSERT_EQ(Run(tone_ + " --mono -o " + Quoted(PathOf("mono.mp3"))).status, 0);
    outcome = Run(Quoted(PathOf("mono.mp3")) + " --info --stereo --info");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "kind"), "mp3");
    EXPECT_EQ(Value(outcome.out, "channels"), "1");
    EXPECT_EQ(Value(outcome.out, "frames"), "176400");
    EXPECT_EQ(Value(outcome.out, "channels", outcome.out.find("kind=", 1)), "2");
}

TEST_F(BrindleBatch, DeleteAndKeepUseTheSelection)
{
    const struct {
        const char* actions;
        int status;
        const char* frames;  // left, by --info
    } rows[] = {
        {"--select 1s:2.5s --delete --info", 0, "110250"},
        // Seconds that end at the sound's length take the whole tail: rounding must not push them past it.
        {"--select 3.5s:4s --delete --info", 0, "154350"},
        {"--select 100:1100 --keep --info", 0, "1000"},
        {"--select 0:10 --delete --delete", 1, ""},  // the first leaves no selection for the second
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.actions);
        const Outcome outcome = Run(tone_ + " " + row.actions + " -o " + Quoted(PathOf("cut.wav")));
        EXPECT_EQ(outcome.status, row.status) << outcome.err;
        EXPECT_EQ(Value(outcome.out, "frames"), row.frames);
        EXPECT_EQ(Value(outcome.out, "modified"), row.status == 0 ? "1" : "");
    }
    EXPECT_EQ(Soxi("-s", PathOf("cut.wav")), "1000") << "as the last edit that worked left it";
}

// --paste puts another file, or a range of it, in place of the selection, sample for sample what sox's
// trims and splices give; another rate is resampled and said; silence goes in as zeros.
TEST_F(BrindleBatch, PasteAndSilence)
{
    const std::string other = Quoted(PathOf("other.wav")), low = Quoted(PathOf("low.wav"));
    auto at = [&](const char* name) { return " " + Quoted(PathOf(name)); };
    ASSERT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 " + other + " synth 1 sine 1000 vol 0.4 && sox -n -r 22050 -c 1 -b 16 " +
                         low + " synth 0.5 sine 300"),
              0);
    Outcome outcome = Run(tone_ + " --select 1000:2000 --paste " + Quoted(PathOf("other.wav").string() + ":100:600") +
                          " -o" + at("out.wav"));
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(RunCommand("sox " + tone_ + at("head.wav") + " trim 0 1000s && sox " + other + at("clip.wav") +
                         " trim 100s 500s && sox " + tone_ + at("tail.wav") + " trim 2000s && sox" + at("head.wav") +
                         at("clip.wav") + at("tail.wav") + " -t raw" + at("expected.raw") + " && sox" + at("out.wav") +
                         " -t raw" + at("out.raw") + " && cmp -s" + at("out.raw") + at("expected.raw")),
              0);
    // Without a selection the file goes in at the start; then it is the selection, which silence replaces.
    outcome = Run(tone_ + " --paste " + low + " --info --insert-silence 0.25 --info");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("resampled from 22050 Hz to 44100 Hz"), std::string::npos) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "frames"), std::to_string(176400 + 22050));
    EXPECT_EQ(Value(outcome.out, "frames", outcome.out.find("kind=", 1)), std::to_string(176400 + 11025));
}

TEST_F(BrindleBatch, VolumeNormalizeAndFades)
{
    const fs::path quiet = PathOf("quiet.wav"), loud = PathOf("loud.wav"), faded = PathOf("faded.wav");
    ASSERT_EQ(Run(tone_ + " --volume 50 -o " + Quoted(quiet)).status, 0);
    EXPECT_NEAR(Stat(quiet, "Maximum amplitude"), 0.25, 0.001);
    // The largest whole percentage that keeps the peak within full scale: within 1 % below it.
    ASSERT_EQ(Run(Quoted(quiet) + " --normalize -o " + Quoted(loud)).status, 0);
    EXPECT_GE(Stat(loud, "Maximum amplitude"), 0.99);
    EXPECT_LE(Stat(loud, "Maximum amplitude"), 1.0);
    // Fade in over the first second only: it starts silent; the whole-sound fade-out is halfway at 2 s.
    ASSERT_EQ(Run(tone_ + " --select 0:44100 --fade-in --deselect --fade-out -o " + Quoted(faded)).status, 0);
    EXPECT_LT(Stat(faded, "Maximum amplitude", "trim 0 100s stat"), 0.01);
    EXPECT_GT(Stat(faded, "Maximum amplitude", "trim 1.9 0.1 stat"), 0.2);
    EXPECT_LT(Stat(faded, "Maximum amplitude", "trim 1.9 0.1 stat"), 0.3);

    // The editor journals its unsaved edits for a recovery; the batch tool's never outlive it.
    const fs::path state = PathOf("state"), home = PathOf("home");
    ASSERT_EQ(Run(tone_ + " --select 0:44100 --fade-in --volume 50 -o " + Quoted(PathOf("quiet-faded.wav")),
                  "XDG_STATE_HOME=" + Quoted(state) + " HOME=" + Quoted(home))
                  .status,
              0);
    EXPECT_FALSE(fs::exists(state));
    EXPECT_FALSE(fs::exists(home));
}

// -v says how an MP3 was saved, as the editor's status pane does: nothing but seams encoded anew, or
// how much of the sound was and why.
TEST_F(BrindleBatch, VerboseSaysHowMuchOfAnMp3WasReencoded)
{
    const std::string mp3 = Quoted(PathOf("tone.mp3"));
    ASSERT_EQ(Run(tone_ + " -o " + mp3).status, 0);
    const struct {
        std::string arguments;
        const char* said;
    } rows[] = {
        // Both edges on the 4608-sample grid of a file with LAME's delay: only the seam is new.
        {mp3 + " -v --select 1199:10415 --delete", "Сохранено без перекодирования\n"},
        // The first second moves by part of a frame: 44100 of the 132300 samples left, rounded up.
        {mp3 + " -v --select 1s:2s --delete", "Сохранено, перекодировано 34 % звука (a cut off the MP3's frame grid)\n"},
        {mp3 + " -v --fade-in", "Сохранено, перекодировано 100 % звука (the sound was changed by more than cuts)\n"},
        {tone_ + " -v", "Сохранено, перекодировано 100 % звука (the sound was not opened from an MP3)\n"},
        {mp3 + " --select 1s:2s --delete", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const Outcome outcome = Run(row.arguments + " -o " + Quoted(PathOf("out.mp3")));
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, row.said);
    }
}

// An MP3 saved as WAV with no edit is decoded straight into the WAV file: byte for byte the file that a
// load and a save write (--deselect, which changes nothing, makes the run take that way), with no
// temporary file. What the frame index cannot split is loaded and saved, and -v says why. A write
// that fails part-way (a file size limit stands in for a full disk) says the system's reason and
// leaves the file it would have replaced as it was, and nothing else.
TEST_F(BrindleBatch, Mp3SavedAsWavAsItIsIsTheFileALoadAndASaveWrite)
{
    // Eight seconds: at least two ranges wherever two cores are free.
    const std::string noise = Quoted(PathOf("noise.wav"));
    ASSERT_EQ(RunCommand("sox -R -n -r 44100 -c 2 -b 16 " + noise + " synth 8 pinknoise vol 0.3 tremolo 3 60"), 0);
    const std::string direct = "decoded straight into the WAV file\n";
    const struct {
        std::string name;
        std::string make;  // a command that makes $out from $in; empty: from the corpus
        std::string said;  // by -v
    } rows[] = {
        {"cbr.mp3", "lame -S -b 128 \"$in\" \"$out\"", direct},
        {"vbr.mp3", "lame -S -V2 \"$in\" \"$out\"", direct},
        {"mono.mp3", "lame -S -m m -V4 \"$in\" \"$out\"", direct},
        {"mpeg2.mp3", "lame -S --resample 22.05 -V4 \"$in\" \"$out\"", direct},
        {"crc-no-reservoir.mp3", "lame -S -p --nores -b 96 \"$in\" \"$out\"", direct},
        {"no-info-frame.mp3", "lame -S -t -V5 \"$in\" \"$out\"", direct},
        {"tinytag-vbr44stereo.mp3", "", direct},
        {"mutagen-silence-44-s-mpeg25.mp3", "", direct},
        {"layer2.mp3", "ffmpeg -v quiet -i \"$in\" -c:a mp2 -f mp2 \"$out\"",
         "loaded and saved (no layer III frame where the audio starts)\n"},
        {"mutagen-vbri.mp3", "", "loaded and saved (a header change)\n"},
    };
    const fs::path folder = PathOf("out"), straight = folder / "straight.wav", loaded = folder / "loaded.wav";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::path mp3 = test::CorpusDir() / "mp3" / row.name;
        if (row.make.empty() && !fs::exists(mp3)) {
            std::printf("no corpus file %s: row left out\n", mp3.c_str());
            continue;
        }
        if (!row.make.empty()) {
            ASSERT_EQ(RunCommand("in=" + noise + " out=" + Quoted(mp3 = PathOf(row.name)) + "; " + row.make + " 2>/dev/null"), 0);
        }
        fs::create_directory(folder);
        Outcome outcome = Run("-v " + Quoted(mp3) + " -o " + Quoted(straight));
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, row.said);
        outcome = Run(Quoted(mp3) + " --deselect -o " + Quoted(loaded));
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const auto bytes = test::ReadFileBytes(straight);
        EXPECT_GT(bytes.size(), 44u + 4u * 1152u);
        EXPECT_TRUE(bytes == test::ReadFileBytes(loaded)) << "the two WAV files differ";
        EXPECT_EQ(Entries(folder), 2u);
        EXPECT_TRUE(TempFiles().empty());
        fs::remove_all(folder);
    }

    fs::create_directory(folder);
    test::WriteFileBytes(straight, {'o', 'l', 'd'});
    // The ignored signal passes to the program, whose write then fails with EFBIG instead.
    EXPECT_EQ(RunCommand("(trap '' XFSZ; ulimit -f 256; exec " + std::string(BRINDLE_BATCH) + " -q " +
                         Quoted(PathOf("vbr.mp3")) + " -o " + Quoted(straight) + ") 2>" + Quoted(PathOf("err.txt"))),
              1);
    EXPECT_EQ(Slurp(PathOf("err.txt")), "brindle-batch: cannot save " + straight.string() + ": File too large\n");
    EXPECT_TRUE(test::ReadFileBytes(straight) == (std::vector<unsigned char>{'o', 'l', 'd'}));
    EXPECT_EQ(Entries(folder), 1u);
}

// A 24-bit, 32-bit or float WAV keeps its resolution through the load, the edits and the save: a
// tone at -105 dBFS, which a 16-bit save would round to silence, is still there.
TEST_F(BrindleBatch, HighResolutionWavKeepsItsResolutionThroughEditsAndSave)
{
    const struct {
        const char *options, *bits, *sampleFormat, *encoding;  // soxi's name
    } rows[] = {{"-b 24", "24", "int", "Signed Integer PCM"},
                {"-e signed -b 32", "32", "int", "Signed Integer PCM"},
                {"-e floating-point -b 32", "32", "float", "Floating Point PCM"}};
    const fs::path in = PathOf("in.wav"), out = PathOf("out.wav");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options);
        ASSERT_EQ(RunCommand("sox -n -r 48000 -c 2 " + std::string(row.options) + " " + Quoted(in) +
                             " synth 2 sine 1000 vol -105dB"),
                  0);
        const Outcome outcome =
            Run("-q " + Quoted(in) + " --select 0.5s:1s --delete --fade-in --volume 50 --mono --info -o " + Quoted(out));
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(Value(outcome.out, "bits"), row.bits);
        EXPECT_EQ(Value(outcome.out, "sample_format"), row.sampleFormat);
        EXPECT_EQ(Value(outcome.out, "frames"), "72000");
        EXPECT_EQ(Soxi("-b", out), row.bits);
        EXPECT_EQ(Soxi("-e", out), row.encoding);
        EXPECT_EQ(Soxi("-c", out), "1");
        const double peak = Stat(out, "Pk lev dB", "stats");
        EXPECT_GT(peak, -110.0) << "the tone is there";
        EXPECT_LT(peak, -100.0);
    }
}

// Usage errors are found before any work and exit 2; a failed load or save exits 1 and says which
// file and why on one line. A name or a tag can hold a newline or a terminal escape: neither reaches
// the output raw, so no tag can forge a key=value line.
TEST_F(BrindleBatch, FailuresSayWhichFileAndWhyOnOneLine)
{
    const std::string missing = PathOf("missing.wav").string(), nowhere = PathOf("no/such/dir/out.wav").string();
    const std::string hostile = PathOf("a\nframes=1\x1b[2J.mp3").string();
    test::WriteFileBytes(PathOf("junk.mp3"), std::vector<unsigned char>(5000, 0x55));
    ASSERT_EQ(RunCommand("lame -S --tt \"$(printf 'x\\nframes=7\\033[2J')\" " + tone_ + " " + Quoted(hostile) + " 2>/dev/null"), 0);
    const struct {
        std::string arguments;
        int status;
        std::string err;  // part of what it says; the start when it names the program, all when a line
    } rows[] = {
        {"--help", 0, ""}, {"", 2, ""}, {tone_ + " --bogus", 2, ""}, {tone_ + " --select 1:x", 2, ""},
        {tone_ + " --volume -5", 2, ""}, {"a.wav b.wav", 2, ""}, {tone_ + " -o a.wav -o b.wav", 2, ""},
        {tone_ + " -o " + Quoted(PathOf("out.aiff")), 2, ""}, {tone_ + " --select nans:1s", 2, ""},
        {tone_ + " --select 0:infs", 2, ""}, {"-- " + tone_ + " --info", 2, ""},
        {tone_ + " --select 0:5s --delete -o " + Quoted(PathOf("cut.wav")), 2,
         "past the end of the sound (176400 frames, 4.000 s)"},
        {tone_ + " --insert-silence 0", 2, ""}, {tone_ + " --select 10:10 --delete", 1, ""},
        {tone_ + " --select-all --keep", 1, "tone.wav"},  // keeping the whole sound is refused, as in the editor
        {tone_ + " --paste " + tone_ + ":5s:6s", 1, "no frames in the range to paste"},
        {Quoted(PathOf("junk.mp3")), 1, ""},
        {Quoted(missing), 1, "brindle-batch: cannot open " + missing + ": No such file or directory\n"},
        {tone_ + " -o " + Quoted(nowhere), 1, "brindle-batch: cannot save " + nowhere + ": "},
        {"-- " + Quoted(hostile + "x"), 1, "a\\nframes=1\\x1b[2J.mp3x"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const Outcome outcome = Run(row.arguments);
        EXPECT_EQ(outcome.status, row.status) << outcome.err;
        EXPECT_TRUE(row.err.ends_with('\n')                  ? outcome.err == row.err
                    : row.err.starts_with("brindle-batch") ? outcome.err.starts_with(row.err)
                                                           : outcome.err.find(row.err) != std::string::npos)
            << outcome.err;
        EXPECT_EQ(outcome.err.find('\x1b'), std::string::npos);
        EXPECT_TRUE(row.status != 1 || std::count(outcome.err.begin(), outcome.err.end(), '\n') == 1) << outcome.err;
    }
    EXPECT_FALSE(fs::exists(PathOf("out.aiff")) || fs::exists(PathOf("cut.wav")));
    EXPECT_TRUE(TempFiles().empty());
    const Outcome outcome = Run("--info -- " + Quoted(hostile));
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "tag.title"), "x\\nframes=7\\x1b[2J");
    EXPECT_EQ(Value(outcome.out, "frames"), "176400");
}

// Starts brindle-batch on input saving to output, and sends it signal once `ready` holds for the child,
// stopped then so that its unnamed files in folder, short of `whole` bytes, show the work unfinished
// (`landed`; a loaded machine may let the work end before the child is seen ready).
int InterruptBatch(const fs::path& input, const fs::path& output, int signal, const std::function<bool(pid_t)>& ready,
                   const fs::path& folder, uintmax_t whole, bool& landed)
{
    const pid_t child = fork();
    if (child == 0) {
        ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
        ::execl(BRINDLE_BATCH, BRINDLE_BATCH, input.c_str(), "-o", output.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    bool seen = false;
    for (int i = 0; i < 20000 && !(seen = ready(child)); ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    int status = 0;
    ::kill(child, SIGSTOP);
    ::waitpid(child, &status, WUNTRACED);
    const std::vector<fs::path> files = test::UnnamedFilesOf(child, folder);
    uintmax_t made = 0;
    for (const fs::path& file : files)
        made += fs::file_size(file);
    landed = WIFSTOPPED(status) && !files.empty() && made < whole;
    ::kill(child, signal), ::kill(child, SIGCONT);
    if (WIFSTOPPED(status))
        ::waitpid(child, &status, 0);
    EXPECT_TRUE(seen) << "the child never reached the moment to interrupt";
    return status;
}

TEST_F(BrindleBatch, InterruptOrKillDuringALoadOrASaveLeavesNothingBehind)
{
    // Five minutes of stereo WAV, written sparse; and as much MP3 from copies of four seconds: lame's
    // frames (without its info frame) end clean, so they follow each other as one stream.
    const fs::path big = PathOf("big.wav"), shortMp3 = PathOf("short.mp3"), longMp3 = PathOf("long.mp3");
    test::WriteSilentStereoWav(big, 44100u * 300u);
    ASSERT_EQ(RunCommand("lame -S -t -b 128 " + tone_ + " " + Quoted(shortMp3) + " 2>/dev/null && for i in $(seq 75); do cat " +
                         Quoted(shortMp3) + "; done >" + Quoted(longMp3)),
              0);
    const auto before = test::ReadFileBytes(big);
    const fs::path outFolder = PathOf("out"), output = outFolder / "out.wav";
    fs::create_directory(outFolder);
    // The load has made its first sample store; the save has made the file it writes; an MP3 saved as
    // WAV as it is goes into the WAV file with no sample store on the way (out/ lies within Dir()).
    auto loading = [&](pid_t child) { return !test::UnnamedFilesOf(child, Dir()).empty(); };
    auto saving = [&](pid_t child) { return !test::UnnamedFilesOf(child, outFolder).empty(); };
    auto converting = [&](pid_t child) {
        const size_t outputs = test::UnnamedFilesOf(child, outFolder).size();
        return outputs != 0 && test::UnnamedFilesOf(child, Dir()).size() == outputs;
    };
    const uintmax_t stores = 2 * 4 * 44100u * 300u, wav = 44 + 4 * 44100u * 300u;  // all loaded; all saved
    // The MP3's copies each bring their encoder delay and padding: its WAV is longer than five minutes.
    ASSERT_EQ(Run(Quoted(longMp3) + " -o " + Quoted(PathOf("whole.wav"))).status, 0);
    const uintmax_t converted = fs::file_size(PathOf("whole.wav"));
    for (const char* name : {"whole.wav", "stdout", "stderr"})
        fs::remove(PathOf(name));
    const struct {
        const fs::path& input;
        int signal;
        std::function<bool(pid_t)> ready;
        const fs::path& folder;
        uintmax_t whole;
    } rows[] = {{big, SIGINT, loading, Dir(), stores}, {big, SIGKILL, loading, Dir(), stores},
                {big, SIGKILL, saving, outFolder, wav}, {longMp3, SIGINT, converting, outFolder, converted}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.input.filename() << " signal " << row.signal);
        bool landed = false;
        int status = 0;
        for (int attempt = 0; attempt < 5 && !landed; ++attempt) {
            if (attempt > 0)
                fs::remove(output);
            status = InterruptBatch(row.input, output, row.signal, row.ready, row.folder, row.whole, landed);
        }
        EXPECT_TRUE(landed) << "the signal never came before the work was over";
        EXPECT_TRUE(row.signal == SIGINT ? WIFEXITED(status) && WEXITSTATUS(status) == 130
                                         : WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << status;
        EXPECT_EQ(Entries(outFolder), 0u) << "no partial or hidden output";
        EXPECT_EQ(Entries(Dir()), 5u) << "tone.wav, big.wav, short.mp3, long.mp3 and out/ only";
    }
    EXPECT_TRUE(test::ReadFileBytes(big) == before);
}

}  // namespace
}  // namespace brindle

// brindle-batch as a whole program, on files made by sox and lame.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/test_support.h"

namespace brindle {
namespace {

using test::RunCommand;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class BrindleBatch : public test::TempDirTest {
protected:
    // environment: assignments put before the program ("LC_ALL=ru_RU.UTF-8").
    Outcome Run(const std::string& arguments, const std::string& environment = {})
    {
        const std::string command = environment + " " + std::string(BRINDLE_BATCH) + " " + arguments + " >'" + PathOf("stdout").string() +
                                    "' 2>'" + PathOf("stderr").string() + "'";
        Outcome outcome;
        outcome.status = RunCommand(command);
        outcome.out = Slurp(PathOf("stdout"));
        outcome.err = Slurp(PathOf("stderr"));
        std::filesystem::remove(PathOf("stdout"));
        std::filesystem::remove(PathOf("stderr"));
        return outcome;
    }
    static std::string Slurp(const std::filesystem::path& path)
    {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // key=value lines of --info.
    static std::string Value(const std::string& info, const std::string& key)
    {
        std::istringstream lines(info);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(key + "=", 0) == 0)
                return line.substr(key.size() + 1);
        }
        return {};
    }
    std::string Sox(const std::string& arguments)
    {
        const auto path = PathOf("sox.txt");
        RunCommand("sox " + arguments + " 2>'" + path.string() + "'");
        return Slurp(path);
    }
    // soxi's answer to one option ("-b" bits, "-e" encoding) on the file, without the newline.
    std::string Soxi(const std::string& option, const std::filesystem::path& file)
    {
        const auto path = PathOf("soxi.txt");
        RunCommand("soxi " + option + " '" + file.string() + "' >'" + path.string() + "' 2>/dev/null");
        std::string text = Slurp(path);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }
    // "Maximum amplitude" and friends from sox's stat effect, or "Pk lev dB" from stats (no colon).
    double Stat(const std::filesystem::path& file, const std::string& key, const std::string& effect = "stat")
    {
        const std::string text = Sox("'" + file.string() + "' -n " + effect);
        const size_t at = text.find(key);
        if (at == std::string::npos)
            return -1.0;
        const size_t value = text.find_first_not_of(": ", at + key.size());
        return std::stod(text.substr(value));
    }
    void SetUp() override
    {
        test::TempDirTest::SetUp();
        tone_ = PathOf("tone.wav");
        ASSERT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 '" + tone_.string() + "' synth 4 sine 440 vol 0.5"), 0);
    }
    std::filesystem::path tone_;
};

// A load opens its file once: the header, the conversion, the tags, the decoder and the frame index all
// read that one descriptor, so a file renamed or rewritten meanwhile cannot mix into what was loaded.
// Counted by the kernel's own account (strace), so a reader that opens the name itself is caught.
// Russian under a Russian locale, English under every other, for the help and every message of its own.
TEST_F(BrindleBatch, SpeaksRussianUnderARussianLocaleAndEnglishUnderEveryOther)
{
    struct Row {
        const char* locale;
        const char* help;
        const char* refusal;
    };
    for (const Row& row : {Row{"LC_ALL=ru_RU.UTF-8", "использование: brindle-batch ВХОД", "неизвестный параметр --bogus"},
                           Row{"LANG=ru_RU.UTF-8 LC_ALL=", "использование: brindle-batch ВХОД", "неизвестный параметр --bogus"},
                           Row{"LC_ALL=de_DE.UTF-8", "usage: brindle-batch INPUT", "unknown option --bogus"},
                           Row{"LC_ALL=C.UTF-8", "usage: brindle-batch INPUT", "unknown option --bogus"}}) {
        Outcome outcome = Run("--help", row.locale);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out.rfind(row.help, 0), 0u) << row.locale << ": " << outcome.out;
        outcome = Run("--bogus", row.locale);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_NE(outcome.err.find(row.refusal), std::string::npos) << row.locale << ": " << outcome.err;
    }
}

TEST_F(BrindleBatch, ALoadOpensItsFileOnce)
{
    const std::filesystem::path floats = PathOf("float.wav"), mp3 = PathOf("tone.mp3");
    ASSERT_EQ(RunCommand("sox '" + tone_.string() + "' -e floating-point -b 32 '" + floats.string() + "'"), 0);
    ASSERT_EQ(RunCommand("lame --quiet -V2 '" + tone_.string() + "' '" + mp3.string() + "'"), 0);
    const std::filesystem::path trace = PathOf("trace.txt");
    for (const std::filesystem::path& file : {tone_, floats, mp3}) {
        const Outcome outcome = Run("'" + file.string() + "' --info");
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        // LeakSanitizer cannot run under ptrace; every other run of the program checks for leaks.
        ASSERT_EQ(RunCommand("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=open,openat -o '" + trace.string() +
                             "' " + BRINDLE_BATCH + " '" + file.string() + "' --info >/dev/null"),
                  0);
        const std::string calls = Slurp(trace);
        const std::string quoted = '"' + file.string() + '"';
        size_t opens = 0;
        for (size_t at = calls.find(quoted); at != std::string::npos; at = calls.find(quoted, at + 1))
            ++opens;
        EXPECT_EQ(opens, 1u) << file << ":\n" << calls;
    }
}

TEST_F(BrindleBatch, InfoDescribesTheSound)
{
    const auto outcome = Run("'" + tone_.string() + "' --info");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "kind"), "wav");
    EXPECT_EQ(Value(outcome.out, "channels"), "2");
    EXPECT_EQ(Value(outcome.out, "rate"), "44100");
    EXPECT_EQ(Value(outcome.out, "bits"), "16");
    EXPECT_EQ(Value(outcome.out, "sample_format"), "int");
    EXPECT_EQ(Value(outcome.out, "frames"), "176400");
    EXPECT_EQ(Value(outcome.out, "duration_ms"), "4000");
    EXPECT_EQ(Value(outcome.out, "modified"), "0");
}

TEST_F(BrindleBatch, DeleteAndKeepUseTheSelection)
{
    auto outcome = Run("'" + tone_.string() + "' --select 1s:2.5s --delete --info -o '" + PathOf("cut.wav").string() + "'");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "frames"), std::to_string(176400 - 66150));
    EXPECT_EQ(Value(outcome.out, "modified"), "1");
    EXPECT_EQ(Sox("--i -s '" + PathOf("cut.wav").string() + "'").size(), 0u) << "soxi writes to stdout";

    // Seconds that end at the sound's length take the whole tail: rounding must not push them past it.
    outcome = Run("'" + tone_.string() + "' --select 3.5s:4s --delete --info");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "frames"), std::to_string(176400 - 22050));

    outcome = Run("'" + tone_.string() + "' --select 100:1100 --keep --info");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "frames"), "1000");

    // After a delete the selection is gone, so a second delete has nothing to work on.
    outcome = Run("'" + tone_.string() + "' --select 0:10 --delete --delete");
    EXPECT_EQ(outcome.status, 1);
    outcome = Run("'" + tone_.string() + "' --select-all --keep");
    EXPECT_EQ(outcome.status, 1) << "keeping the whole sound is refused, as in the editor";
    EXPECT_NE(outcome.err.find("tone.wav"), std::string::npos) << outcome.err;
    outcome = Run("'" + tone_.string() + "' --select 10:10 --delete");
    EXPECT_EQ(outcome.status, 1);
}

// --paste puts another file, or a range of it, in place of the selection, sample for sample what sox's
// trims and splices give; another rate is resampled and said; silence goes in as zeros.
TEST_F(BrindleBatch, PasteAndSilence)
{
    const auto other = PathOf("other.wav"), out = PathOf("out.wav"), expected = PathOf("expected.wav");
    ASSERT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 '" + other.string() + "' synth 1 sine 1000 vol 0.4"), 0);
    auto outcome = Run("'" + tone_.string() + "' --select 1000:2000 --paste '" + other.string() + "':100:600 -o '" +
                       out.string() + "'");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    ASSERT_EQ(RunCommand("sox '" + tone_.string() + "' " + PathOf("head.wav").string() + " trim 0 1000s && sox '" +
                         other.string() + "' " + PathOf("clip.wav").string() + " trim 100s 500s && sox '" +
                         tone_.string() + "' " + PathOf("tail.wav").string() + " trim 2000s && sox " +
                         PathOf("head.wav").string() + " " + PathOf("clip.wav").string() + " " +
                         PathOf("tail.wav").string() + " '" + expected.string() + "'"),
              0);
    EXPECT_EQ(RunCommand("sox '" + out.string() + "' -t raw '" + PathOf("out.raw").string() + "' && sox '" +
                         expected.string() + "' -t raw '" + PathOf("expected.raw").string() + "' && cmp -s '" +
                         PathOf("out.raw").string() + "' '" + PathOf("expected.raw").string() + "'"),
              0);

    // Without a selection the file goes in at the start; then it is the selection, which silence replaces.
    const auto low = PathOf("low.wav");
    ASSERT_EQ(RunCommand("sox -n -r 22050 -c 1 -b 16 '" + low.string() + "' synth 0.5 sine 300"), 0);
    outcome = Run("'" + tone_.string() + "' --paste '" + low.string() + "' --info --insert-silence 0.25 --info");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("resampled from 22050 Hz to 44100 Hz"), std::string::npos) << outcome.err;
    const size_t second = outcome.out.find("kind=", 1);
    EXPECT_EQ(Value(outcome.out.substr(0, second), "frames"), std::to_string(176400 + 22050));
    EXPECT_EQ(Value(outcome.out.substr(second), "frames"), std::to_string(176400 + 11025));

    outcome = Run("'" + tone_.string() + "' --paste '" + other.string() + "':5s:6s");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("no frames in the range to paste"), std::string::npos) << outcome.err;
    EXPECT_EQ(Run("'" + tone_.string() + "' --insert-silence 0").status, 2);
}

TEST_F(BrindleBatch, VolumeNormalizeAndFades)
{
    const auto quiet = PathOf("quiet.wav");
    ASSERT_EQ(Run("'" + tone_.string() + "' --volume 50 -o '" + quiet.string() + "'").status, 0);
    EXPECT_NEAR(Stat(quiet, "Maximum amplitude"), 0.25, 0.001);

    const auto loud = PathOf("loud.wav");
    ASSERT_EQ(Run("'" + quiet.string() + "' --normalize -o '" + loud.string() + "'").status, 0);
    // The largest whole percentage that keeps the peak within full scale: within 1 % below it.
    EXPECT_GE(Stat(loud, "Maximum amplitude"), 0.99);
    EXPECT_LE(Stat(loud, "Maximum amplitude"), 1.0);

    // Fade in over the first second only: it starts silent, the rest keeps full level.
    const auto faded = PathOf("faded.wav");
    ASSERT_EQ(Run("'" + tone_.string() + "' --select 0:44100 --fade-in --deselect --fade-out -o '" + faded.string() + "'").status, 0);
    const auto head = PathOf("head.wav");
    ASSERT_EQ(RunCommand("sox '" + faded.string() + "' '" + head.string() + "' trim 0 100s"), 0);
    EXPECT_LT(Stat(head, "Maximum amplitude"), 0.01);
    const auto middle = PathOf("middle.wav");
    ASSERT_EQ(RunCommand("sox '" + faded.string() + "' '" + middle.string() + "' trim 1.9 0.1"), 0);
    EXPECT_GT(Stat(middle, "Maximum amplitude"), 0.2);
    EXPECT_LT(Stat(middle, "Maximum amplitude"), 0.3) << "the whole-sound fade-out is halfway down at 2 s";

    // The editor journals its unsaved edits for a recovery; the batch tool's never outlive it.
    const auto state = PathOf("state");
    const auto home = PathOf("home");
    ASSERT_EQ(RunCommand("XDG_STATE_HOME='" + state.string() + "' HOME='" + home.string() + "' " + BRINDLE_BATCH +
                         " '" + tone_.string() + "' --select 0:44100 --fade-in --volume 50 -o '" +
                         PathOf("quiet-faded.wav").string() + "'"),
              0);
    EXPECT_FALSE(std::filesystem::exists(state));
    EXPECT_FALSE(std::filesystem::exists(home));
}

TEST_F(BrindleBatch, MonoStereoAndMp3RoundTrip)
{
    const auto mp3 = PathOf("mono.mp3");
    auto outcome = Run("'" + tone_.string() + "' --mono -o '" + mp3.string() + "'");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    outcome = Run("'" + mp3.string() + "' --info --stereo --info");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "kind"), "mp3");
    EXPECT_EQ(Value(outcome.out, "channels"), "1");
    EXPECT_EQ(Value(outcome.out, "frames"), "176400");
    EXPECT_NE(outcome.out.find("channels=2"), std::string::npos);
}

// -v says how an MP3 was saved, as the editor's status pane does: nothing but seams encoded anew, or
// how much of the sound was and why.
TEST_F(BrindleBatch, VerboseSaysHowMuchOfAnMp3WasReencoded)
{
    const auto mp3 = PathOf("tone.mp3");
    ASSERT_EQ(Run("'" + tone_.string() + "' -o '" + mp3.string() + "'").status, 0);
    struct Case {
        const char* arguments;  // after the input
        std::string input;
        const char* said;
    };
    const Case cases[] = {
        // Both edges on the 4608-sample grid of a file with LAME's delay: only the seam is new.
        {"-v --select 1199:10415 --delete", mp3.string(), "Сохранено без перекодирования\n"},
        // The first second moves by part of a frame: 44100 of the 132300 samples left, rounded up.
        {"-v --select 1s:2s --delete", mp3.string(),
         "Сохранено, перекодировано 34 % звука (a cut off the MP3's frame grid)\n"},
        {"-v --fade-in", mp3.string(), "Сохранено, перекодировано 100 % звука (the sound was changed by more than cuts)\n"},
        {"-v", tone_.string(), "Сохранено, перекодировано 100 % звука (the sound was not opened from an MP3)\n"},
        {"--select 1s:2s --delete", mp3.string(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const auto outcome = Run("'" + c.input + "' " + c.arguments + " -o '" + PathOf("out.mp3").string() + "'");
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, c.said);
    }
}

// An MP3 saved as WAV with no edit is decoded straight into the WAV file: byte for byte the file that a
// load and a save write (--deselect, which changes nothing, makes the run take that way), with no
// temporary file. What the frame index cannot split is loaded and saved, and -v says why.
TEST_F(BrindleBatch, Mp3SavedAsWavAsItIsIsTheFileALoadAndASaveWrite)
{
    // Eight seconds: at least two ranges wherever two cores are free.
    const auto noise = PathOf("noise.wav");
    ASSERT_EQ(RunCommand("sox -R -n -r 44100 -c 2 -b 16 " + test::Quoted(noise) +
                         " synth 8 pinknoise vol 0.3 tremolo 3 60"),
              0);
    const std::string direct = "decoded straight into the WAV file\n";
    struct Case {
        std::string name;
        std::string make;  // how the MP3 is made from noise.wav (NOISE) into OUT; empty: from the corpus
        std::string said;  // by -v
    };
    const Case cases[] = {
        {"cbr.mp3", "lame -S -b 128 NOISE OUT", direct},
        {"vbr.mp3", "lame -S -V2 NOISE OUT", direct},
        {"mono.mp3", "lame -S -m m -V4 NOISE OUT", direct},
        {"mpeg2.mp3", "lame -S --resample 22.05 -V4 NOISE OUT", direct},
        {"crc-no-reservoir.mp3", "lame -S -p --nores -b 96 NOISE OUT", direct},
        {"no-info-frame.mp3", "lame -S -t -V5 NOISE OUT", direct},
        {"tinytag-vbr44stereo.mp3", "", direct},
        {"mutagen-silence-44-s-mpeg25.mp3", "", direct},
        {"layer2.mp3", "ffmpeg -v quiet -i NOISE -c:a mp2 -f mp2 OUT",
         "loaded and saved (no layer III frame where the audio starts)\n"},
        {"mutagen-vbri.mp3", "", "loaded and saved (a header change)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::path mp3 = test::CorpusDir() / "mp3" / c.name;
        if (c.make.empty() && !std::filesystem::exists(mp3)) {
            std::printf("no corpus file %s: row left out\n", mp3.c_str());
            continue;
        }
        if (!c.make.empty()) {
            mp3 = PathOf(c.name);
            std::string make = c.make;
            make.replace(make.find("NOISE"), 5, test::Quoted(noise));
            make.replace(make.find("OUT"), 3, test::Quoted(mp3));
            ASSERT_EQ(RunCommand(make + " 2>/dev/null"), 0) << make;
        }
        const auto folder = PathOf("out");
        std::filesystem::create_directory(folder);
        const auto straight = folder / "straight.wav";
        const auto loaded = folder / "loaded.wav";
        auto outcome = Run("-v " + test::Quoted(mp3) + " -o " + test::Quoted(straight));
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, c.said);
        outcome = Run(test::Quoted(mp3) + " --deselect -o " + test::Quoted(loaded));
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const auto bytes = test::ReadFileBytes(straight);
        EXPECT_GT(bytes.size(), 44u + 4u * 1152u);
        EXPECT_TRUE(bytes == test::ReadFileBytes(loaded)) << "the two WAV files differ";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 2);
        EXPECT_TRUE(TempFiles().empty());
        std::filesystem::remove_all(folder);
    }

    // A write that fails part-way (a file size limit stands in for a full disk) fails the conversion
    // with the system's reason and leaves the file it would have replaced as it was, and nothing else.
    const auto mp3 = PathOf("vbr.mp3");
    const auto folder = PathOf("full");
    std::filesystem::create_directory(folder);
    const auto target = folder / "old.wav";
    test::WriteFileBytes(target, {'o', 'l', 'd'});
    const auto err = PathOf("err.txt");
    // The ignored signal passes to the program, whose write then fails with EFBIG instead.
    const int status = RunCommand("(trap '' XFSZ; ulimit -f 256; exec " + std::string(BRINDLE_BATCH) + " -q " +
                                  test::Quoted(mp3) + " -o " + test::Quoted(target) + ") 2>" + test::Quoted(err));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Slurp(err), "brindle-batch: cannot save " + target.string() + ": File too large\n");
    EXPECT_TRUE(test::ReadFileBytes(target) == (std::vector<unsigned char>{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1);
}

// A 24-bit, 32-bit or float WAV keeps its resolution through the load, the edits and the save: a
// tone at -105 dBFS, which a 16-bit save would round to silence, is still there.
TEST_F(BrindleBatch, HighResolutionWavKeepsItsResolutionThroughEditsAndSave)
{
    struct Case {
        const char* options;
        const char* bits;
        const char* sampleFormat;
        const char* encoding;  // soxi's name
    };
    for (const Case c : {Case{"-b 24", "24", "int", "Signed Integer PCM"},
                         Case{"-e signed -b 32", "32", "int", "Signed Integer PCM"},
                         Case{"-e floating-point -b 32", "32", "float", "Floating Point PCM"}}) {
        SCOPED_TRACE(c.options);
        const auto in = PathOf("in.wav");
        const auto out = PathOf("out.wav");
        ASSERT_EQ(RunCommand("sox -n -r 48000 -c 2 " + std::string(c.options) + " '" + in.string() +
                             "' synth 2 sine 1000 vol -105dB"),
                  0);
        const auto outcome = Run("-q '" + in.string() +
                                 "' --select 0.5s:1s --delete --fade-in --volume 50 --mono --info -o '" + out.string() +
                                 "'");
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(Value(outcome.out, "bits"), c.bits);
        EXPECT_EQ(Value(outcome.out, "sample_format"), c.sampleFormat);
        EXPECT_EQ(Value(outcome.out, "frames"), "72000");
        EXPECT_EQ(Soxi("-b", out), c.bits);
        EXPECT_EQ(Soxi("-e", out), c.encoding);
        EXPECT_EQ(Soxi("-c", out), "1");
        const double peak = Stat(out, "Pk lev dB", "stats");
        EXPECT_GT(peak, -110.0) << "the tone is there";
        EXPECT_LT(peak, -100.0);
    }
}

TEST_F(BrindleBatch, ExitStatuses)
{
    EXPECT_EQ(Run("--help").status, 0);
    EXPECT_EQ(Run("").status, 2);
    EXPECT_EQ(Run("'" + tone_.string() + "' --bogus").status, 2);
    EXPECT_EQ(Run("'" + tone_.string() + "' --select 1:x").status, 2);
    EXPECT_EQ(Run("'" + tone_.string() + "' --volume -5").status, 2);
    EXPECT_EQ(Run("a.wav b.wav").status, 2);

    test::WriteFileBytes(PathOf("junk.mp3"), std::vector<unsigned char>(5000, 0x55));
    EXPECT_EQ(Run("'" + PathOf("junk.mp3").string() + "'").status, 1);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(BrindleBatch, FailuresSayWhichFileAndWhyOnOneLine)
{
    const std::string tone = "'" + tone_.string() + "'";
    auto outcome = Run("'" + PathOf("missing.wav").string() + "'");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "brindle-batch: cannot open " + PathOf("missing.wav").string() +
                               ": No such file or directory\n");
    outcome = Run(tone + " -o '" + PathOf("no/such/dir/out.wav").string() + "'");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err.rfind("brindle-batch: cannot save " + PathOf("no/such/dir/out.wav").string() + ": ", 0), 0u)
        << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;

    // A name or a tag can hold a newline or a terminal escape: neither reaches the output raw, so no
    // tag can forge a key=value line.
    const std::string hostile = "a\nframes=1\x1b[2J.mp3";
    ASSERT_EQ(RunCommand("lame -S --tt \"$(printf 'x\\nframes=7\\033[2J')\" " + tone + " '" +
                         PathOf(hostile).string() + "'"),
              0);
    outcome = Run("--info -- '" + PathOf(hostile).string() + "'");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(Value(outcome.out, "tag.title"), "x\\nframes=7\\x1b[2J");
    EXPECT_EQ(Value(outcome.out, "frames"), "176400");
    outcome = Run("-- '" + PathOf(hostile).string() + "x'");
    EXPECT_NE(outcome.err.find("a\\nframes=1\\x1b[2J.mp3x"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find('\x1b'), std::string::npos);

    // Usage errors are found before any work and exit 2.
    for (const std::string& arguments :
         {tone + " -o a.wav -o b.wav", tone + " -o '" + PathOf("out.aiff").string() + "'", tone + " --select nans:1s",
          tone + " --select 0:infs", "-- " + tone + " --info"}) {
        outcome = Run(arguments);
        EXPECT_EQ(outcome.status, 2) << arguments << ": " << outcome.err;
    }
    EXPECT_FALSE(std::filesystem::exists(PathOf("out.aiff")));
    outcome = Run(tone + " --select 0:5s --delete -o '" + PathOf("cut.wav").string() + "'");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("past the end of the sound (176400 frames, 4.000 s)"), std::string::npos)
        << outcome.err;
    EXPECT_FALSE(std::filesystem::exists(PathOf("cut.wav")));
    EXPECT_TRUE(TempFiles().empty());
}

// Starts brindle-batch on a twenty-minute stereo WAV (written sparse: loading it takes about a second)
// saving to out/out.wav, and sends it signal once `ready` holds for the child.
template <typename Ready>
int InterruptBatch(const std::filesystem::path& big, const std::filesystem::path& output, int signal, Ready ready)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        ::execl(BRINDLE_BATCH, BRINDLE_BATCH, big.c_str(), "-o", output.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    bool seen = false;
    for (int i = 0; i < 20000 && !(seen = ready(child)); ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(seen) << "the child never reached the moment to interrupt";
    return status;
}

TEST_F(BrindleBatch, InterruptOrKillDuringALoadOrASaveLeavesNothingBehind)
{
    const auto big = PathOf("big.wav");
    test::WriteSilentStereoWav(big, 44100u * 1200u);
    const auto before = test::ReadFileBytes(big);
    const auto outFolder = PathOf("out");
    std::filesystem::create_directory(outFolder);
    const auto output = outFolder / "out.wav";
    auto names = [](const std::filesystem::path& folder) {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    };
    // The load has made its first sample store; the save has made the file it writes.
    auto loading = [&](pid_t child) { return !test::UnnamedFilesOf(child, Dir()).empty(); };
    auto saving = [&](pid_t child) { return !test::UnnamedFilesOf(child, outFolder).empty(); };

    int status = InterruptBatch(big, output, SIGINT, loading);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    for (auto [signal, ready] : {std::pair<int, std::function<bool(pid_t)>>{SIGKILL, loading}, {SIGKILL, saving}}) {
        status = InterruptBatch(big, output, signal, ready);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGKILL);
        EXPECT_EQ(names(Dir()), (std::vector<std::string>{"big.wav", "out", "tone.wav"}));
        EXPECT_EQ(names(outFolder), std::vector<std::string>{}) << "no partial or hidden output";
    }
    EXPECT_TRUE(test::ReadFileBytes(big) == before);

    // An MP3 saved as WAV as it is goes into the WAV file with no sample store on the way; a Ctrl+C
    // there leaves nothing either. Twenty minutes of MP3 from ten seconds: lame's frames (without its
    // info frame) end clean, so copies of them follow each other as one stream.
    const auto shortMp3 = PathOf("short.mp3");
    ASSERT_EQ(RunCommand("lame -S -t -b 128 " + test::Quoted(tone_) + " " + test::Quoted(shortMp3) + " 2>/dev/null"), 0);
    const auto longMp3 = PathOf("long.mp3");
    ASSERT_EQ(RunCommand("for i in $(seq 300); do cat " + test::Quoted(shortMp3) + "; done >" + test::Quoted(longMp3)), 0);
    // The output is there, and nothing else of the child's (out/ lies within the temporary folder).
    auto converting = [&](pid_t child) {
        const size_t outputs = test::UnnamedFilesOf(child, outFolder).size();
        return outputs != 0 && test::UnnamedFilesOf(child, Dir()).size() == outputs;
    };
    status = InterruptBatch(longMp3, output, SIGINT, converting);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(names(outFolder), std::vector<std::string>{}) << "no partial or hidden output";
}

}  // namespace
}  // namespace brindle

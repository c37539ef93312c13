// Undo and redo over the piece lists: exact against sox's reading of the source and against a plain
// model of the edits, the modified mark, cancels, a full disk and a source rewritten under the sound.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <random>
#include <unistd.h>

#include "document/document.h"
#include "edit/edit_kernels.h"
#include "storage/temp_files.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using test::Quoted;
using test::RunCommand;
using Channels = std::vector<std::vector<float>>;

class EditHistoryTest : public test::TempDirTest {
protected:
    // Stereo 16-bit noise (every sample distinct enough to catch a shifted cut), and what sox reads.
    std::filesystem::path MakeSource(const char* name, double seconds)
    {
        const auto path = PathOf(name);
        EXPECT_EQ(RunCommand("sox -R -n -r 44100 -c 2 -b 16 " + Quoted(path) + " synth " + std::to_string(seconds) +
                             " whitenoise vol 0.6"),
                  0);
        return path;
    }
    Channels DecodedBySox(const std::filesystem::path& path)
    {
        const auto raw = PathOf("decoded.f32");
        EXPECT_EQ(RunCommand("sox " + Quoted(path) + " -t f32 " + Quoted(raw)), 0);
        const auto bytes = test::ReadFileBytes(raw);
        Channels channels(2, std::vector<float>(bytes.size() / 8));
        for (size_t f = 0; f < channels[0].size(); ++f)
            for (int c = 0; c < 2; ++c)
                std::memcpy(&channels[c][f], &bytes[(f * 2 + c) * 4], 4);
        return channels;
    }
    static Channels Samples(const Document& document)
    {
        const ChannelSet& set = document.ActiveBuffer().channels;
        Channels channels;
        for (int c = 0; c < set.ChannelCount(); ++c)
            channels.push_back(test::ReadStore(set.Channel(c)));
        return channels;
    }
};

using Request = Document::EditRequest;

const Request kEveryKind[] = {
    {EditKind::DeleteSelected, 1000, 50000},  {EditKind::DeleteUnselected, 1000, 50000},
    {EditKind::ChangeVolume, 300, 90000, 150}, {EditKind::IncreaseVolume, 20000, 20500},
    {EditKind::FadeIn, -1, -1},                {EditKind::FadeOut, 70000, 132299},
    {EditKind::ToMono},                        {EditKind::ToStereo},
};

TEST_F(EditHistoryTest, EveryEditUndoesToTheSourceBitForBitAndRedoesToItsResult)
{
    const auto path = MakeSource("in.wav", 3.0);
    const Channels source = DecodedBySox(path);
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    ASSERT_EQ(Samples(document), source);
    for (const Request& request : kEveryKind) {
        SCOPED_TRACE(int(request.kind));
        if (request.kind == EditKind::ToStereo) {
            ASSERT_EQ(document.ToMono(), 1);  // something to make stereo again
        }
        const Channels before = Samples(document);
        const WaveFormat format = document.ActiveBuffer().format;
        ASSERT_EQ(document.Edit(request), 1);
        const Channels edited = Samples(document);
        EXPECT_NE(edited, before);
        EXPECT_TRUE(document.Modified());
        EditMarks marks;
        ASSERT_EQ(document.Undo(marks), 1);
        EXPECT_EQ(Samples(document), before);
        EXPECT_EQ(document.ActiveBuffer().format.channelCount, format.channelCount);
        EXPECT_EQ(document.ActiveBuffer().FrameCount(), before[0].size());
        ASSERT_EQ(document.Redo(marks), 1);
        EXPECT_EQ(Samples(document), edited);
        ASSERT_EQ(document.Undo(marks), 1);
        if (request.kind == EditKind::ToStereo) {
            ASSERT_EQ(document.Undo(marks), 1);
        }
        EXPECT_EQ(Samples(document), source);
        EXPECT_FALSE(document.Modified()) << "back at the state the file holds";
    }
}

// The edits on plain vectors, with the kernels' arithmetic.
void ModelEdit(Channels& sound, const Request& request)
{
    const int64_t n = int64_t(sound[0].size());
    int64_t start = request.start, end = request.end;
    ASSERT_TRUE(ResolveRange(n, start, end));
    auto each = [&](auto transform) {
        for (auto& channel : sound)
            for (int64_t k = start; k < end; ++k)
                channel[size_t(k)] = transform(channel[size_t(k)], k - start, end - start);
    };
    auto scale = [](int32_t percent) {
        return [percent](float x, int64_t, int64_t) { return StoreSample(double(percent) * double(x) * double(0.01f)); };
    };
    switch (request.kind) {
    case EditKind::DeleteSelected:
    case EditKind::Cut:
        for (auto& channel : sound)
            channel.erase(channel.begin() + start, channel.begin() + end);
        break;
    case EditKind::DeleteUnselected:
        for (auto& channel : sound)
            channel = std::vector<float>(channel.begin() + start, channel.begin() + end);
        break;
    case EditKind::ChangeVolume:
        if (request.percent != 100)
            each(scale(request.percent));
        break;
    case EditKind::IncreaseVolume:
        for (auto& channel : sound) {
            float peak = 0.0f;
            for (int64_t k = start; k < end; ++k)
                peak = std::max(peak, std::fabs(channel[size_t(k)]));
            const int32_t gain = GainForPeak(peak);
            for (int64_t k = start; gain != 100 && k < end; ++k)
                channel[size_t(k)] = scale(gain)(channel[size_t(k)], 0, 0);
        }
        break;
    case EditKind::FadeIn:
        if (end - start > 1)
            each([](float x, int64_t k, int64_t count) { return StoreSample(double(k) * double(x) / double(count - 1)); });
        break;
    case EditKind::FadeOut:
        if (end - start > 1)
            each([](float x, int64_t k, int64_t count) {
                return StoreSample((1.0 - double(k) / double(count - 1)) * double(x));
            });
        break;
    case EditKind::ToMono: {
        float peak = 0.0f;
        for (size_t k = 0; k < sound[0].size(); ++k) {
            sound[0][k] = sound[0][k] + sound[1][k];
            peak = std::max(peak, std::fabs(sound[0][k]));
        }
        for (float& x : sound[0])
            x = peak > 1.0f ? StoreSample(1.0 / double(peak) * double(x)) : x;
        sound.pop_back();
        break;
    }
    case EditKind::ToStereo: sound.push_back(sound[0]); break;
    // Paste and silence have their model in paste_test.cpp; the random walk makes neither.
    case EditKind::Paste:
    case EditKind::InsertSilence: ADD_FAILURE() << "not modelled here"; break;
    }
}

TEST_F(EditHistoryTest, TwentyRandomEditsWithUndosAndRedosFollowAPlainModel)
{
    const auto path = MakeSource("in.wav", 2.0);
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    std::vector<Channels> states{DecodedBySox(path)};
    size_t current = 0;
    std::mt19937 random(2026);
    auto pick = [&random](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(random); };
    int edits = 0;
    while (edits < 20) {
        const int64_t n = int64_t(states[current][0].size());
        const int64_t choice = pick(0, 9);
        EditMarks marks;
        if (choice < 2) {
            ASSERT_EQ(document.Undo(marks), current > 0 ? 1 : 0);
            current -= current > 0 ? 1 : 0;
        } else if (choice < 3) {
            ASSERT_EQ(document.Redo(marks), current + 1 < states.size() ? 1 : 0);
            current += current + 1 < states.size() ? 1 : 0;
        } else {
            Request request;
            request.kind = EditKind(pick(0, 7));
            request.start = pick(0, n - 2);
            request.end = pick(request.start + 1, std::min(n, request.start + n / 2));
            request.percent = int32_t(pick(-300, 300));
            const bool stereo = states[current].size() == 2;
            if ((request.kind == EditKind::ToMono && !stereo) || (request.kind == EditKind::ToStereo && stereo))
                continue;
            if (request.kind == EditKind::DeleteSelected && request.end - request.start > n - 1000)
                continue;
            Channels next = states[current];
            ModelEdit(next, request);
            ASSERT_EQ(document.Edit(request), 1) << int(request.kind);
            states.resize(current + 1);
            states.push_back(std::move(next));
            ++current;
            ++edits;
        }
        ASSERT_EQ(Samples(document), states[current]) << "after " << edits << " edits";
        EXPECT_EQ(document.Modified(), current != 0);
    }
}

TEST_F(EditHistoryTest, TheModifiedMarkFollowsSavesUndosAndANewEditAfterAnUndo)
{
    const auto path = MakeSource("in.wav", 1.0);
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    EditMarks marks;
    ASSERT_EQ(document.FadeIn(-1, -1), 1);
    ASSERT_EQ(document.FadeOut(100, 2000), 1);
    ASSERT_EQ(document.Save(PathOf("out.wav")), 1);
    EXPECT_FALSE(document.Modified());
    ASSERT_EQ(document.Undo(marks), 1);
    EXPECT_TRUE(document.Modified());
    ASSERT_EQ(document.Redo(marks), 1);
    EXPECT_FALSE(document.Modified()) << "a save keeps the history, and its state is the saved one";
    ASSERT_EQ(document.Undo(marks), 1);
    ASSERT_EQ(document.ChangeVolume(-1, -1, 50), 1);
    EXPECT_FALSE(document.History().CanRedo()) << "a new edit drops the redo steps";
    EXPECT_TRUE(document.Modified());
    ASSERT_EQ(document.Undo(marks), 1);
    EXPECT_TRUE(document.Modified()) << "the saved state was dropped with the redo steps";
    ASSERT_EQ(document.Load(path), 1);
    EXPECT_FALSE(document.History().CanUndo()) << "an open empties the history";
}

TEST_F(EditHistoryTest, ACancelAtAnyStepLeavesTheSoundAndItsFilesAsTheyWere)
{
    // Long enough for several blocks a channel.
    const auto path = MakeSource("in.wav", 15.0);
    Document document;
    document.SetPreparesPeaks(true);
    ASSERT_EQ(document.Load(path), 1);
    const Channels source = Samples(document);
    const size_t files = TempFiles().size();
    for (Request request : kEveryKind) {
        request.end = request.end > 0 ? 600000 : request.end;
        test::CancelAtStep counting(0, 1000);
        ASSERT_EQ(document.PrepareEdit(request, &counting), 1);
        document.DropPreparedEdit();
        for (int step = 1; step <= counting.steps; ++step) {
            test::CancelAtStep progress(step, 1000);
            if (document.PrepareEdit(request, &progress)) {
                EXPECT_EQ(step, counting.steps) << int(request.kind) << ": only the last step may come too late";
                document.DropPreparedEdit();
            } else {
                EXPECT_EQ(document.LastFailure().kind, FailureKind::Cancelled);
            }
            EXPECT_EQ(TempFiles().size(), files) << int(request.kind) << " step " << step;
        }
        EXPECT_EQ(Samples(document), source) << int(request.kind);
        EXPECT_FALSE(document.History().CanUndo());
    }
}

// A fade of the whole sound, which needs one whole-sound store (S bytes), in a temporary folder that
// holds only this test's stores. The sound is a float WAV, decoded into stores of S (a 16-bit one would
// be a private copy whose space depends on the file system's clones). The history is made by script:
// V a volume change of the whole sound (a store of S), C a cut (no store), U an undo, S a save. The
// folder then has `free` eighths of S left and the edit must keep `reserve` eighths.
struct RoomCase {
    const char* name;
    const char* script;
    int free, reserve;
    enum { None, Cancel, WriteError } fault;
    const char* error;  // nullptr: the edit is prepared
    // The history once the edit is prepared or has failed; saved: where the saved state is, or -1.
    size_t steps, position;
    int saved;
    bool carried = false;  // volume and fade as gains the pieces carry (else written, a store of S each)
};

const RoomCase kRoomCases[] = {
    // The newest redo step frees S, enough; the six others stay until the edit is committed.
    {"RedoStepsGiveBackTheirSpace", "VVVVVVVUUUUUUU", 4, 2, RoomCase::None, nullptr, 6, 0, 0},
    {"RedoStepsGoBeforeUndoSteps", "VVVU", 3, 2, RoomCase::None, nullptr, 2, 2, 0},
    // The cut that could be redone frees nothing and stays; the load's copy goes with the oldest step.
    {"AStepThatFreesNothingStays", "VCU", 6, 1, RoomCase::None, nullptr, 1, 0, -1},
    {"TheOldestUndoStepGoesAndTheSavedMarkMoves", "VVSV", 7, 2, RoomCase::None, nullptr, 2, 2, 1},
    // Even dropping every step would free 3 S of the 3.5 S needed.
    {"NoRoomDropsNothing", "VVVU", 0, 20, RoomCase::None, "No space left on device", 3, 2, 0},
    {"ACancelChangesNothing", "VVSVU", 64, 0, RoomCase::Cancel, "cancelled", 3, 2, 2},
    {"AWriteErrorChangesNothing", "VVSVU", 64, 0, RoomCase::WriteError, "File too large", 3, 2, 2},
    // The redo step's disk went into the edit and cannot come back; the undo steps stay.
    {"ACancelAfterRoomWasMadeKeepsTheUndoSteps", "VVVU", 3, 2, RoomCase::Cancel, "cancelled", 2, 2, 0},
    // Gains the pieces carry write nothing: no room to make, even on a full disk.
    {"ACarriedGainNeedsNoRoom", "VVVU", 0, 20, RoomCase::None, nullptr, 3, 2, 0, true},
};

void PrintTo(const RoomCase& row, std::ostream* out) { *out << row.name; }

class RoomTest : public EditHistoryTest, public ::testing::WithParamInterface<RoomCase> {};

TEST_P(RoomTest, AnEditDropsOnlyTheStepsThatMakeItsRoomAndAFailedOneNone)
{
    const RoomCase& row = GetParam();
    std::optional<test::WrittenGains> written;
    if (!row.carried)
        written.emplace();
    const auto path = PathOf("in.wav");
    ASSERT_EQ(RunCommand("sox -R -n -r 44100 -c 2 -e floating-point -b 32 " + Quoted(path) + " synth 1 whitenoise"), 0);
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    EditMarks marks;
    for (const char* c = row.script; *c; ++c) {
        const int done = *c == 'V' ? document.ChangeVolume(-1, -1, 90)
                         : *c == 'C' ? document.DeleteRange(100, 200, true)
                         : *c == 'U' ? document.Undo(marks)
                                     : document.Save(PathOf("saved.wav"));
        ASSERT_EQ(done, 1) << *c;
    }
    const Channels before = Samples(document);
    const uint64_t sound = uint64_t(before[0].size()) * 2 * sizeof(float);
    auto used = [this] {
        uint64_t bytes = 0;
        for (const auto& file : TempFiles())
            bytes += std::filesystem::file_size(file);
        return bytes;
    };
    const uint64_t capacity = used() + sound * uint64_t(row.free) / 8;
    const uint64_t reserve = sound * uint64_t(row.reserve) / 8;
    auto available = [&] { return capacity - std::min(capacity, used()); };
    document.SetTempSpaceForTesting(available, reserve);
    test::CancelAtStep cancel(1, 1000);
    std::optional<test::FileSizeLimit> limit;
    if (row.fault == RoomCase::WriteError)
        limit.emplace(4096);
    const int result = document.PrepareEdit({EditKind::FadeIn}, row.fault == RoomCase::Cancel ? &cancel : nullptr);
    limit.reset();
    document.DropPreparedEdit();
    EXPECT_EQ(result, row.error ? 0 : 1);
    if (result && !row.carried) {
        EXPECT_GE(available(), sound + reserve) << "the steps dropped gave back the room they were counted for";
    }
    EXPECT_EQ(document.LastFailure().text, row.error ? row.error : "");
    EXPECT_EQ(Samples(document), before);
    EXPECT_EQ(document.History().StepCount(), row.steps);
    EXPECT_EQ(document.History().Position(), row.position);
    for (size_t at = row.position;; --at) {
        EXPECT_EQ(document.Modified(), int(at) != row.saved) << "at step " << at;
        if (at == 0)
            break;
        ASSERT_EQ(document.Undo(marks), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RoomTest, ::testing::ValuesIn(kRoomCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EditHistoryTest, ASourceRewrittenInPlaceWhileOpenChangesNeitherTheSoundNorItsSave)
{
    // A short file is copied before the peaks; a long one while they are made, from the file itself.
    for (const double seconds : {2.0, 200.0}) {
        SCOPED_TRACE(seconds);
        const auto path = MakeSource("in.wav", seconds);
        const auto other = MakeSource("other.wav", seconds);
        const Channels source = DecodedBySox(path);
        Document document;
        document.SetPreparesPeaks(true);
        ASSERT_EQ(document.Load(path), 1);
        ASSERT_EQ(document.DeleteRange(100, 200, true), 1);
        // Another program writes other samples into the same inode, then cuts it short.
        {
            const auto bytes = test::ReadFileBytes(other);
            const int fd = ::open(path.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
            ASSERT_EQ(::ftruncate(fd, 1000), 0);
            ::close(fd);
        }
        EditMarks marks;
        ASSERT_EQ(document.Undo(marks), 1);
        ASSERT_EQ(Samples(document), source);
        // Ctrl+S over the source itself.
        ASSERT_EQ(document.Save(path), 1);
        EXPECT_EQ(DecodedBySox(path), source);
        ASSERT_EQ(document.Redo(marks), 1);
        ASSERT_EQ(document.Save(path), 1);
        Channels cut = source;
        for (auto& channel : cut)
            channel.erase(channel.begin() + 100, channel.begin() + 200);
        EXPECT_EQ(DecodedBySox(path), cut);
    }
}

}  // namespace
}  // namespace brindle

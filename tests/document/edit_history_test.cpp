// Undo and redo over the piece lists: exact against sox's reading of the source and against a plain
// model of the edits, under cancels and on a full disk.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <set>

#include "document/document.h"
#include "edit/edit_kernels.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::Quoted;
using Channels = std::vector<std::vector<float>>;
using Request = Document::EditRequest;

class EditHistoryTest : public test::TempDirTest {
protected:
    // Stereo noise (every sample distinct enough to catch a shifted cut).
    std::filesystem::path MakeSource(double seconds, const char* format = "-b 16")
    {
        EXPECT_EQ(test::RunCommand("sox -R -n -r 44100 -c 2 " + std::string(format) + " " + Quoted(PathOf("in.wav")) +
                                   " synth " + std::to_string(seconds) + " whitenoise vol 0.6"),
                  0);
        return PathOf("in.wav");
    }
    static Channels Samples(const Document& document) { return test::SamplesOf(document.ActiveBuffer()); }
};

// The edits on plain vectors, with the kernels' arithmetic (paste_test.cpp models paste and silence).
void ModelEdit(Channels& sound, const Request& request)
{
    int64_t start = request.start, end = request.end;
    ASSERT_TRUE(ResolveRange(int64_t(sound[0].size()), start, end));
    auto scale = [](int64_t percent) {
        return [percent](float x, int64_t, int64_t) { return StoreSample(double(percent) * double(x) * double(0.01f)); };
    };
    auto each = [&](auto transform) {
        for (auto& channel : sound)
            for (int64_t k = start; k < end; ++k)
                channel[size_t(k)] = transform(channel[size_t(k)], k - start, end - start);
    };
    switch (request.kind) {
    case EditKind::DeleteSelected:
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
            for (int64_t k = start, percent = GainForPeak(peak); percent != 100 && k < end; ++k)
                channel[size_t(k)] = scale(percent)(channel[size_t(k)], 0, 0);
        }
        break;
    case EditKind::FadeIn:
        each([](float x, int64_t k, int64_t n) { return n > 1 ? StoreSample(double(k) * double(x) / double(n - 1)) : x; });
        break;
    case EditKind::FadeOut:
        each([](float x, int64_t k, int64_t n) { return n > 1 ? StoreSample((1.0 - double(k) / double(n - 1)) * double(x)) : x; });
        break;
    case EditKind::ToMono: {
        float peak = 0.0f;
        for (size_t k = 0; k < sound[0].size(); ++k)
            peak = std::max(peak, std::fabs(sound[0][k] = sound[0][k] + sound[1][k]));
        for (float& x : sound[0])
            x = peak > 1.0f ? StoreSample(1.0 / double(peak) * double(x)) : x;
        sound.pop_back();
        break;
    }
    case EditKind::ToStereo: sound.push_back(sound[0]); break;
    default: ADD_FAILURE() << "not modelled here"; break;
    }
}

// Three fixed edits (a fade in of all with no selection, a fade out ending a frame short of the end, a
// short raise), then twenty of every kind in turn on random ranges, each undone and redone at once, with
// undos and redos at random between them: every state is the model's, the first one sox's reading of the file.
TEST_F(EditHistoryTest, EditsUndosAndRedosFollowAPlainModel)
{
    const auto path = MakeSource(2.0);
    ASSERT_EQ(test::RunCommand("sox " + Quoted(path) + " -t f32 " + Quoted(PathOf("sox.f32"))), 0);
    const auto bytes = test::ReadFileBytes(PathOf("sox.f32"));
    std::vector<Channels> states{Channels(2, std::vector<float>(bytes.size() / 8))};
    for (size_t f = 0; f < states[0][0].size(); ++f)
        for (int c = 0; c < 2; ++c)
            std::memcpy(&states[0][c][f], &bytes[(f * 2 + c) * 4], 4);
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    size_t current = 0;
    EditMarks marks;
    auto expectState = [&](size_t at) {
        ASSERT_EQ(Samples(document), states[at]) << "state " << at;
        EXPECT_EQ(document.ActiveBuffer().format.channelCount, states[at].size());
        EXPECT_EQ(document.ActiveBuffer().FrameCount(), states[at][0].size());
        EXPECT_EQ(document.Modified(), at != 0);
    };
    expectState(0);
    std::mt19937 random(2026);
    auto pick = [&random](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(random); };
    std::set<EditKind> kinds;
    const Request fixed[] = {{EditKind::FadeIn, -1, -1}, {EditKind::FadeOut, 50000, int64_t(states[0][0].size()) - 1},
                             {EditKind::IncreaseVolume, 20000, 20500}};
    for (int edits = 0; edits < 23;) {
        const int64_t n = int64_t(states[current][0].size());
        if (const int64_t choice = edits < 3 ? 9 : pick(0, 9); choice < 3) {
            const bool can = choice < 2 ? current > 0 : current + 1 < states.size();
            ASSERT_EQ(choice < 2 ? document.Undo(marks) : document.Redo(marks), can ? 1 : 0);
            current = can ? (choice < 2 ? current - 1 : current + 1) : current;
        } else {
            Request request = edits < 3 ? fixed[edits] : Request{EditKind(edits % 8), pick(0, n - 2), 0, int32_t(pick(-300, 300))};
            if (edits >= 3)
                request.end = pick(request.start + 1, std::min(n, request.start + n / 2));
            if (request.kind == EditKind::ToMono || request.kind == EditKind::ToStereo)
                request.kind = states[current].size() == 2 ? EditKind::ToMono : EditKind::ToStereo;
            Channels next = states[current];
            ModelEdit(next, request);
            if (edits >= 3 && (next == states[current] || next[0].size() < 1000))
                continue;
            ASSERT_EQ(document.Edit(request), 1) << int(request.kind);
            kinds.insert(request.kind);
            states.resize(current + 1);
            states.push_back(std::move(next));
            ASSERT_EQ(document.Undo(marks), 1);
            expectState(current);
            ASSERT_EQ(document.Redo(marks), 1);
            ++current;
            ++edits;
        }
        expectState(current);
    }
    EXPECT_EQ(kinds.size(), 8u) << "every kind was made";
    while (current > 0 && document.Undo(marks))
        --current;
    EXPECT_EQ(current, 0u);
    expectState(current);
}

TEST_F(EditHistoryTest, ACancelAtAnyStepLeavesTheSoundAndItsFilesAsTheyWere)
{
    Document document;
    document.SetPreparesPeaks(true);
    ASSERT_EQ(document.Load(MakeSource(15.0)), 1);  // several blocks a channel
    const Channels source = Samples(document);
    const size_t files = TempFiles().size();
    const Request kinds[] = {{EditKind::DeleteSelected, 1000, 600000}, {EditKind::DeleteUnselected, 1000, 600000},
                             {EditKind::ChangeVolume, 300, 600000, 150}, {EditKind::IncreaseVolume, 20000, 600000},
                             {EditKind::FadeIn},  {EditKind::FadeOut, 70000, 600000},
                             {EditKind::ToMono},  {EditKind::ToStereo}};
    for (const Request& request : kinds) {
        SCOPED_TRACE(int(request.kind));
        test::CancelAtStep counting(0, 1000);
        ASSERT_EQ(document.PrepareEdit(request, &counting), 1);
        document.DropPreparedEdit();
        for (int step = 1; step <= counting.steps; ++step) {
            test::CancelAtStep progress(step, 1000);
            if (document.PrepareEdit(request, &progress)) {
                EXPECT_EQ(step, counting.steps) << "only the last step may come too late";
                document.DropPreparedEdit();
            } else {
                EXPECT_EQ(document.LastFailure().kind, FailureKind::Cancelled);
            }
            EXPECT_EQ(TempFiles().size(), files) << "step " << step;
        }
        EXPECT_EQ(Samples(document), source);
        EXPECT_FALSE(document.History().CanUndo());
    }
}

// A whole-sound fade needs a store of S bytes (a float WAV's; a 16-bit one's copy depends on clones).
// The history is made by script: V a volume change of the whole sound (a store of S unless gains are
// carried), C a cut, U an undo, S a save; then `free` eighths of S are left, `reserve` must stay.
struct RoomCase {
    const char* name;
    const char* script;
    int free, reserve;
    enum { None, Cancel, WriteError } fault;
    const char* error;      // nullptr: the edit is prepared
    size_t steps, position;  // the history after the edit is prepared or has failed
    int saved;              // where the saved state is, or -1
    bool carried = false;
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
    Document document;
    ASSERT_EQ(document.Load(MakeSource(1, "-e floating-point -b 32")), 1);
    EditMarks marks;
    for (const char* c = row.script; *c; ++c) {
        ASSERT_EQ(*c == 'V'   ? document.ChangeVolume(-1, -1, 90)
                  : *c == 'C' ? document.DeleteRange(100, 200, true)
                  : *c == 'U' ? document.Undo(marks)
                              : document.Save(PathOf("saved.wav")),
                  1)
            << *c;
    }
    const Channels before = Samples(document);
    const uint64_t sound = uint64_t(before[0].size()) * 2 * sizeof(float);
    auto used = [this] {
        uint64_t bytes = 0;
        for (const auto& file : TempFiles())
            bytes += std::filesystem::file_size(file);
        return bytes;
    };
    const uint64_t capacity = used() + sound * uint64_t(row.free) / 8, reserve = sound * uint64_t(row.reserve) / 8;
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

}  // namespace
}  // namespace brindle

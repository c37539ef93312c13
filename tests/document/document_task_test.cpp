// The background task over a Document: TaskPosition 0 first, exactly one end, and a cancel or a
// failure that leaves an empty document and no file.
#include "document/document_task.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "document/document.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using Posts = std::vector<std::pair<uint32_t, uint32_t>>;

// Records notifications as the progress window would receive them; the test thread waits for the end.
class RecordingNotifier final : public TaskNotifier {
public:
    std::function<void(uint32_t kind, uint32_t position)> onPost;  // runs on the worker

    void PostTaskNotify(uint32_t kind, uint32_t position) override
    {
        onPost(kind, position);
        std::lock_guard lock(mutex_);
        posts_.push_back({kind, position});
        changed_.notify_all();
    }
    // The posts once the task has ended, or (moved) once the bar has left 0.
    Posts WaitForEnd(bool moved = false)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !posts_.empty() && (posts_.back().first >= TaskFinished || (moved && posts_.back().second > 0)); });
        return posts_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Posts posts_;
};

// Runs a task over document to its end and returns what it posted. The owner cancels once the bar
// reaches cancelAt (0: never) and the moment it hears of a failure (it must not hear of a second
// end); StopThread right after the start, before the worker may be running, or once the bar has moved.
enum class Stop { Never, AtStart, OnceMoved };
Posts RunTask(Document& document, TaskMode mode, uint32_t range, uint32_t cancelAt = 0, Stop stop = Stop::Never)
{
    RecordingNotifier notifier;
    DocumentTask task(notifier, document, mode, range);
    notifier.onPost = [&](uint32_t kind, uint32_t position) {
        if ((kind == TaskPosition && cancelAt && position >= cancelAt) || kind >= TaskFailed)
            task.TaskProgress().Cancel();
    };
    EXPECT_EQ(task.Start(), 1);
    if (stop == Stop::OnceMoved)
        notifier.WaitForEnd(true);
    if (stop != Stop::Never) {
        EXPECT_EQ(task.StopThread(), 1);
    }
    task.Wait();
    return notifier.WaitForEnd();
}

// How many of the posts end the task, and the last.
std::pair<long, uint32_t> Ends(const Posts& posts)
{
    return {std::count_if(posts.begin(), posts.end(), [](const auto& p) { return p.first >= TaskFinished; }),
            posts.back().first};
}

using DocumentTaskTest = test::TempDirTest;

TEST_F(DocumentTaskTest, ASuccessPostsPositionZeroFirstAndFinishedLastWithTheBarFull)
{
    test::WriteSilentStereoWav(PathOf("short.wav"), 100);
    Document document;
    document.SetSourcePath(PathOf("short.wav"));
    const Posts posts = RunTask(document, TaskMode::Load, 200);
    EXPECT_EQ(posts.front(), (std::pair<uint32_t, uint32_t>{TaskPosition, 0}));
    EXPECT_EQ(Ends(posts), (std::pair<long, uint32_t>{1, TaskFinished}));
    EXPECT_EQ(posts.back().second, 200u);
    EXPECT_EQ(document.ActiveBuffer().FrameCount(), 100u);
}

TEST_F(DocumentTaskTest, ACancelEndsCancelledOnceWithAnEmptyDocument)
{
    // As the editor loads, with the summary made on the worker after the bar is full: Cancel once the
    // bar has moved (1) or is full (1000); or a stop before the worker runs, fifty times over twenty
    // minutes, which take far longer to load than reaching StopThread takes.
    test::WriteSilentStereoWav(PathOf("long.wav"), 44100 * 120);
    test::WriteSilentStereoWav(PathOf("longer.wav"), 44100 * 1200);
    std::vector<uint32_t> cancelAt(52, 0);
    cancelAt[0] = 1, cancelAt[1] = 1000;
    for (size_t run = 0; run < cancelAt.size(); ++run) {
        SCOPED_TRACE(testing::Message() << "run " << run);
        Document document;
        document.SetPreparesPeaks(true);
        document.SetSourcePath(PathOf(cancelAt[run] ? "long.wav" : "longer.wav"));
        ASSERT_EQ(Ends(RunTask(document, TaskMode::Load, 1000, cancelAt[run], cancelAt[run] ? Stop::Never : Stop::AtStart)),
                  (std::pair<long, uint32_t>{1, TaskCancelled}));
        EXPECT_TRUE(document.IsEmpty() && !document.Peaks().IsBuilt());
        EXPECT_TRUE(!cancelAt[run] || document.SourcePath().empty()) << "the task resets the document";
        EXPECT_TRUE(TempFiles().empty());
    }
    // A stop once the load is under way, which may just have finished on its own: one end either way.
    Document document;
    document.SetSourcePath(PathOf("long.wav"));
    const auto [ends, last] = Ends(RunTask(document, TaskMode::Load, 1000, 0, Stop::OnceMoved));
    EXPECT_TRUE(ends == 1 && (last == TaskFinished || (last == TaskCancelled && document.IsEmpty()))) << ends << " " << last;
}

TEST_F(DocumentTaskTest, AFailureEndsFailedOnceAndLeavesNoFile)
{
    test::WriteSilentStereoWav(PathOf("in.wav"), 44100 * 10);
    test::WriteFileBytes(PathOf("damaged.wav"), {'R', 'I', 'F', 'F', 8, 0, 0, 0, 'W', 'A', 'V', 'E', 'd', 'a'});
    // Not a sound's name, a damaged file twenty times, a save that fills the disk.
    std::vector<std::string> runs(20, "damaged.wav");
    runs.insert(runs.begin(), {"notes.txt", "out.wav"});
    for (const std::string& name : runs) {
        SCOPED_TRACE(name);
        const bool save = name == "out.wav";
        Document document;
        ASSERT_EQ(document.Load(PathOf("in.wav")), 1);
        document.SetSourcePath(PathOf(name));
        document.SetTargetPath(PathOf(name));
        const test::FileSizeLimit full(500000);
        EXPECT_EQ(Ends(RunTask(document, save ? TaskMode::Save : TaskMode::Load, 100)),
                  (std::pair<long, uint32_t>{1, TaskFailed}));
        EXPECT_EQ(document.IsEmpty(), !save);
        EXPECT_FALSE(std::filesystem::exists(PathOf("out.wav")));
        EXPECT_EQ(TempFiles().size(), save ? 1u : 0u) << "only the copy of the source's samples";
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir()), {}), 2) << "in.wav and damaged.wav";
}

}  // namespace
}  // namespace brindle

#include "document/document_task.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "document/document.h"
#include "support/test_support.h"

namespace brindle {
namespace {

// Records notifications as the progress window would receive them; the test thread waits for the end.
class RecordingNotifier final : public TaskNotifier {
public:
    std::function<void(uint32_t kind, uint32_t position)> onPost;  // runs on the worker

    void PostTaskNotify(uint32_t kind, uint32_t position) override
    {
        if (onPost)
            onPost(kind, position);
        std::lock_guard lock(mutex_);
        posts_.push_back({kind, position});
        changed_.notify_all();
    }
    // The kinds posted, once one ending the task (kind 2 and above) has arrived.
    std::vector<uint32_t> WaitForEnd()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !posts_.empty() && posts_.back().first >= TaskFinished; });
        std::vector<uint32_t> kinds;
        for (const auto& post : posts_)
            kinds.push_back(post.first);
        return kinds;
    }
    std::vector<std::pair<uint32_t, uint32_t>> Posts()
    {
        std::lock_guard lock(mutex_);
        return posts_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<uint32_t, uint32_t>> posts_;
};

class DocumentTaskTest : public test::TempDirTest {
protected:
    std::filesystem::path MakeLongWav(const std::string& name, uint32_t frames)
    {
        test::WriteSilentStereoWav(PathOf(name), frames);
        return PathOf(name);
    }
};

TEST_F(DocumentTaskTest, ImmediateSuccessPostsPositionZeroThenFinished)
{
    const auto path = MakeLongWav("short.wav", 100);
    Document document;
    document.SetSourcePath(path);
    RecordingNotifier notifier;
    {
        DocumentTask task(notifier, document, TaskMode::Load, 200);
        ASSERT_EQ(task.Start(), 1);
        const auto kinds = notifier.WaitForEnd();
        ASSERT_GE(kinds.size(), 2u);
        EXPECT_EQ(notifier.Posts().front(), (std::pair<uint32_t, uint32_t>{TaskPosition, 0}));
        EXPECT_EQ(kinds.back(), uint32_t(TaskFinished));
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), uint32_t(TaskFinished)), 1);
    }
    EXPECT_EQ(document.ActiveBuffer().FrameCount(), 100u);
    EXPECT_EQ(notifier.Posts().back().second, 200u) << "the bar is full at the end";
}

TEST_F(DocumentTaskTest, CancelWhileLoadingEndsCancelledWithAnEmptyDocument)
{
    const auto path = MakeLongWav("long.wav", 44100 * 120);
    // As the editor loads: the waveform's summary is made on the worker after the bar is full. The
    // user presses Cancel once the bar has moved, or once it is full (during that summary).
    for (const uint32_t cancelAt : {1u, 1000u}) {
        SCOPED_TRACE(cancelAt);
        Document document;
        document.SetPreparesPeaks(true);
        document.SetSourcePath(path);
        RecordingNotifier notifier;
        DocumentTask task(notifier, document, TaskMode::Load, 1000);
        notifier.onPost = [&](uint32_t kind, uint32_t position) {
            if (kind == TaskPosition && position >= cancelAt)
                task.TaskProgress().Cancel();
        };
        ASSERT_EQ(task.Start(), 1);
        const auto kinds = notifier.WaitForEnd();
        task.Wait();
        EXPECT_EQ(kinds.back(), uint32_t(TaskCancelled));
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), uint32_t(TaskFailed)), 0) << "a cancelled run is not a failure";
        EXPECT_TRUE(document.IsEmpty());
        EXPECT_FALSE(document.Peaks().IsBuilt());
        EXPECT_TRUE(document.SourcePath().empty()) << "the task resets the document";
        EXPECT_TRUE(TempFiles().empty());
    }
}

TEST_F(DocumentTaskTest, StopThreadCancelsARunningTask)
{
    const auto path = MakeLongWav("long.wav", 44100 * 120);
    Document document;
    document.SetSourcePath(path);
    RecordingNotifier notifier;
    std::mutex mutex;
    std::condition_variable moved;
    bool hasMoved = false;
    notifier.onPost = [&](uint32_t kind, uint32_t position) {
        if (kind == TaskPosition && position > 0) {
            std::lock_guard lock(mutex);
            hasMoved = true;
            moved.notify_all();
        }
    };
    DocumentTask task(notifier, document, TaskMode::Load, 1000);
    ASSERT_EQ(task.Start(), 1);
    {
        std::unique_lock lock(mutex);
        moved.wait(lock, [&] { return hasMoved; });
    }
    EXPECT_EQ(task.StopThread(), 1);
    const auto kinds = notifier.WaitForEnd();
    // The load may just have finished on its own; either way the end is reported exactly once.
    EXPECT_TRUE(kinds.back() == TaskCancelled || kinds.back() == TaskFinished);
    if (kinds.back() == TaskCancelled) {
        EXPECT_TRUE(document.IsEmpty());
    }
}

TEST_F(DocumentTaskTest, FailingSaveEndsFailedAndLeavesNoFile)
{
    const auto path = MakeLongWav("in.wav", 44100 * 10);
    Document document;
    ASSERT_EQ(document.Load(path), 1);
    document.SetTargetPath(PathOf("out.wav"));
    RecordingNotifier notifier;
    {
        test::FileSizeLimit limit(500000);
        DocumentTask task(notifier, document, TaskMode::Save, 100);
        ASSERT_EQ(task.Start(), 1);
        const auto kinds = notifier.WaitForEnd();
        EXPECT_EQ(kinds.back(), uint32_t(TaskFailed));
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), uint32_t(TaskFailed)), 1);
    }
    EXPECT_FALSE(std::filesystem::exists(PathOf("out.wav")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir()), {}), 1) << "only in.wav has a name";
    EXPECT_EQ(TempFiles().size(), 1u) << "the copy of the source's samples";
}

TEST_F(DocumentTaskTest, LoadFailingWithoutFailStillEndsFailed)
{
    Document document;
    document.SetSourcePath(PathOf("notes.txt"));
    RecordingNotifier notifier;
    DocumentTask task(notifier, document, TaskMode::Load, 100);
    ASSERT_EQ(task.Start(), 1);
    EXPECT_EQ(notifier.WaitForEnd().back(), uint32_t(TaskFailed));
    task.Wait();
    EXPECT_TRUE(document.IsEmpty());
}

TEST_F(DocumentTaskTest, EveryRunPostsExactlyOneEnd)
{
    // An owner that cancels the moment it hears of a failure must not hear of a second end.
    test::WriteFileBytes(PathOf("damaged.wav"), {'R', 'I', 'F', 'F', 8, 0, 0, 0, 'W', 'A', 'V', 'E', 'd', 'a'});
    for (int run = 0; run < 20; ++run) {
        Document document;
        document.SetSourcePath(PathOf("damaged.wav"));
        RecordingNotifier notifier;
        DocumentTask task(notifier, document, TaskMode::Load, 100);
        notifier.onPost = [&](uint32_t kind, uint32_t) {
            if (kind >= TaskFailed)
                task.TaskProgress().Cancel();
        };
        ASSERT_EQ(task.Start(), 1);
        task.Wait();
        const auto kinds = notifier.WaitForEnd();
        EXPECT_EQ(std::count_if(kinds.begin(), kinds.end(), [](uint32_t k) { return k >= TaskFinished; }), 1)
            << "run " << run;
        EXPECT_EQ(kinds.back(), uint32_t(TaskFailed));
    }

    // A stop that arrives before the worker is running still cancels it. Twenty minutes take about a
    // second to load, far longer than this thread needs to reach StopThread even on a busy machine.
    const auto path = MakeLongWav("long.wav", 44100 * 1200);
    for (int run = 0; run < 50; ++run) {
        Document document;
        document.SetSourcePath(path);
        RecordingNotifier notifier;
        DocumentTask task(notifier, document, TaskMode::Load, 100);
        ASSERT_EQ(task.Start(), 1);
        EXPECT_EQ(task.StopThread(), 1);
        task.Wait();
        const auto kinds = notifier.WaitForEnd();
        ASSERT_EQ(std::count_if(kinds.begin(), kinds.end(), [](uint32_t k) { return k >= TaskFinished; }), 1)
            << "run " << run;
        ASSERT_EQ(kinds.back(), uint32_t(TaskCancelled)) << "run " << run;
        EXPECT_TRUE(document.IsEmpty());
    }
    EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace brindle

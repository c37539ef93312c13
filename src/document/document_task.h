// The background load, save or edit of the Document, and the Progress through which it reports.
//
// The owner (the progress window, or brindle-batch) creates a DocumentTask with a TaskNotifier, calls
// Start(), and learns of progress and the end only through posted notifications: TaskPosition on
// every real move, then exactly one of TaskFinished, TaskCancelled or TaskFailed.
#pragma once

#include <cstdint>

#include "tasks/progress.h"
#include "tasks/task_notifier.h"
#include "tasks/worker_thread.h"

namespace brindle {

class Document;

enum class TaskMode : int { Save = 0, Load = 1, Edit = 2, Journal = 3, Recover = 4, Peaks = 5, Measure = 6 };

class DialogProgress final : public Progress {
public:
    DialogProgress(TaskNotifier& notifier, uint32_t range) : Progress(range, 0), notifier_(notifier) {}
    // Posts the current position, as at the start of a run.
    void PostPosition() { OnPositionChanged(); }

protected:
    // Only positions are posted from here. The end of a run is posted once, by the task after Run
    // returns: a failure posted from inside the run could be followed by a second end when the owner
    // reacted to it by cancelling.
    void OnPositionChanged() override { notifier_.PostTaskNotify(TaskPosition, Position()); }

private:
    TaskNotifier& notifier_;
};

class DocumentTask final : public WorkerThread {
public:
    // range: the progress units of the whole run (the bar's width in pixels).
    DocumentTask(TaskNotifier& notifier, Document& document, TaskMode mode, uint32_t range);
    ~DocumentTask() override;

    // Posts TaskPosition 0 and starts the worker. 1 when it started.
    int Start();

    // Load: Document::Load of its SourcePath, resetting the Document when that fails. Save:
    // Document::Save to its PendingTarget, or its TargetPath when none is pending (which never leaves
    // a partial file behind). Edit: Document::PrepareEdit of its PendingEdit; the owner commits it
    // once the task has finished, on its own thread. Journal: Document::RecordStep of its
    // PendingStep; the owner makes the step once the task has ended, whatever its result. Recover:
    // Document::Recover of its pending recovery. Peaks: Document::BuildPeaks.
    // Measure: Document::Measure of its PendingMeasure.
    int Run() override;
    void AfterRun(int result) override;
    void CancelProgress(int flag) override;

    DialogProgress& TaskProgress() { return progress_; }
    TaskMode Mode() const { return mode_; }

private:
    TaskNotifier& notifier_;
    Document& document_;
    TaskMode mode_;
    DialogProgress progress_;
};

}  // namespace brindle

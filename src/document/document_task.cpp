#include "document/document_task.h"

#include "document/document.h"

namespace brindle {

DocumentTask::DocumentTask(TaskNotifier& notifier, Document& document, TaskMode mode, uint32_t range)
    : notifier_(notifier), document_(document), mode_(mode), progress_(notifier, range)
{
}

DocumentTask::~DocumentTask() { StopAndWait(); }

int DocumentTask::Start()
{
    progress_.PostPosition();
    return StartThread();
}

int DocumentTask::Run()
{
    if (mode_ == TaskMode::Load) {
        const int result = document_.Load({}, &progress_);
        if (!result)
            document_.Reset();
        return result;
    }
    if (mode_ == TaskMode::Edit)
        return document_.PrepareEdit(document_.PendingEdit(), &progress_);
    if (mode_ == TaskMode::Peaks)
        return document_.BuildPeaks(&progress_);
    if (mode_ == TaskMode::Recover)
        return document_.RecoverPending(&progress_);
    if (mode_ == TaskMode::Measure)
        return document_.Measure(document_.PendingMeasure().first, document_.PendingMeasure().second, &progress_);
    if (mode_ == TaskMode::Journal)
        return FinishProgress(&progress_, document_.RecordStep(document_.PendingStep()));
    // Save adopts the path it is given only when the file is written.
    return document_.Save(document_.PendingTarget(), &progress_);
}

void DocumentTask::AfterRun(int result)
{
    const uint32_t kind = result ? TaskFinished : progress_.IsCancelled() ? TaskCancelled : TaskFailed;
    notifier_.PostTaskNotify(kind, progress_.Position());
}

void DocumentTask::CancelProgress(int flag)
{
    if (flag && IsRunning())
        progress_.Cancel();
}

}  // namespace brindle

// How a background task tells the user interface what happened: one posted notification at a time.
#pragma once

#include <cstdint>

namespace brindle {

// The private message number the editor's window receives these under.
inline constexpr uint32_t WM_TASK_NOTIFY = 0x83EA;

// Notification kinds; anything from TaskFailed up counts as failure.
enum TaskNotifyKind : uint32_t {
    TaskNone = 0,       // ignored
    TaskPosition = 1,   // the progress position moved; position holds it
    TaskFinished = 2,   // the work succeeded
    TaskCancelled = 3,  // the work was cancelled
    TaskFailed = 4,     // the work failed
};

// Receives a task's notifications. PostTaskNotify is called on the worker's thread and must only queue
// (a posted event, a queue under a lock): it never touches a widget and never blocks for long.
class TaskNotifier {
public:
    virtual ~TaskNotifier() = default;
    virtual void PostTaskNotify(uint32_t kind, uint32_t position) = 0;
};

}  // namespace brindle

// The small modal window under which a file is loaded or saved, or an edit runs. It runs one
// DocumentTask on a worker thread and follows it through the notifications the task posts; the worker
// never touches a widget. While it is up the main window takes no input, so nothing else touches the
// Document. An edit's window shows only once the edit has run for kEditShowDelayMs, so quick edits
// never flash it; until then the event loop turns as usual but the user's input to the other windows
// is held back.
#pragma once

#include <QDialog>

#include <memory>

#include "document/document_task.h"
#include "tasks/task_notifier.h"

class QProgressBar;
class QPushButton;

namespace brindle {

class Document;

class ProgressWindow final : public QDialog, private TaskNotifier {
    Q_OBJECT

public:
    enum Result { kFinished = 1, kCancelled = 2, kFailed = 3 };
    static constexpr int kEditShowDelayMs = 300;

    ProgressWindow(Document& document, TaskMode mode, QWidget* owner = nullptr);
    // Waits for the worker when it is still running.
    ~ProgressWindow() override;

    // Starts the task and shows the window modally (an edit's after the delay) until the task ends or
    // the user cancels; returns 1 finished, 2 cancelled, 3 failed, after the worker has ended.
    int Run();

    QProgressBar* Bar() const { return bar_; }
    QPushButton* CancelButton() const { return cancel_; }

    void done(int result) override;
    void accept() override { done(kFinished); }
    void reject() override { done(kCancelled); }

protected:
    void customEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // On the worker thread: only queues an event.
    void PostTaskNotify(uint32_t kind, uint32_t position) override;

    Document& document_;
    TaskMode mode_;
    QProgressBar* bar_ = nullptr;
    QPushButton* cancel_ = nullptr;
    std::unique_ptr<DocumentTask> task_;
    bool ended_ = false;
};

}  // namespace brindle

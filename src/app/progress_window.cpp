#include "app/progress_window.h"

#include <QCloseEvent>
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWindow>
#include <QKeyEvent>
#include <QProgressBar>
#include <QPushButton>

#include "app/app_texts.h"

namespace brindle {
namespace {

// The bar's size and margins: the bar's width in pixels is the task's progress range, so one posted
// position is at most one pixel of movement.
constexpr int kBarWidth = 213;
constexpr int kBarHeight = 21;
constexpr int kMarginX = 16;
constexpr int kMarginY = 18;

class TaskNotifyEvent final : public QEvent {
public:
    TaskNotifyEvent(uint32_t kind, uint32_t position)
        : QEvent(QEvent::Type(WM_TASK_NOTIFY)), kind(kind), position(position)
    {
    }
    const uint32_t kind;
    const uint32_t position;
};

}  // namespace

ProgressWindow::ProgressWindow(Document& document, TaskMode mode, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), document_(document), mode_(mode)
{
    // A load and an edit can be cancelled; a save cannot, nor the reading of a committed fade's peaks
    // (the edit is made; only its picture is pending, and a cancel would leave none to draw).
    const bool loading = mode != TaskMode::Save && mode != TaskMode::Peaks;
    // An undo's journal, a fade's peaks and a measure run under an edit's window: it shows only if
    // they take a while.
    const bool editing = mode == TaskMode::Edit || mode == TaskMode::Journal || mode == TaskMode::Peaks ||
                         mode == TaskMode::Measure;
    setWindowTitle(mode == TaskMode::Load || mode == TaskMode::Recover ? Texts::Loading() : editing ? Texts::Processing() : Texts::Saving());
    setAccessibleName(windowTitle());
    setModal(true);

    bar_ = new QProgressBar(this);
    bar_->setAccessibleName(windowTitle());
    bar_->setTextVisible(false);
    bar_->setGeometry(kMarginX, kMarginY, kBarWidth, kBarHeight);
    bar_->setRange(0, kBarWidth);
    bar_->setValue(0);

    cancel_ = new QPushButton(tr("Отмена"), this);
    cancel_->setAccessibleName(cancel_->text());
    const QSize buttonSize = cancel_->sizeHint().expandedTo(QSize(75, 23));
    const int buttonTop = kMarginY + kBarHeight + 12;
    cancel_->setGeometry((kBarWidth + 2 * kMarginX - buttonSize.width()) / 2, buttonTop, buttonSize.width(),
                         buttonSize.height());
    connect(cancel_, &QPushButton::clicked, this, &ProgressWindow::reject);

    if (loading) {
        setFixedSize(kBarWidth + 2 * kMarginX, buttonTop + buttonSize.height() + 12);
    } else {
        // Saving cannot be cancelled: no button, and as much room below the bar as above it.
        cancel_->hide();
        setFixedSize(kBarWidth + 2 * kMarginX, kBarHeight + 2 * kMarginY);
    }
}

ProgressWindow::~ProgressWindow()
{
    // The task's destructor stops and waits for the worker; its last posts die with this object.
    task_.reset();
}

int ProgressWindow::Run()
{
    TaskNotifier& notifier = *this;
    task_ = std::make_unique<DocumentTask>(notifier, document_, mode_, uint32_t(bar_->maximum()));
    if (!task_->Start()) {
        task_.reset();
        return kFailed;
    }
    int result = 0;
    if (mode_ == TaskMode::Edit || mode_ == TaskMode::Journal || mode_ == TaskMode::Peaks ||
        mode_ == TaskMode::Measure) {
        QEventLoop loop;
        connect(this, &QDialog::finished, &loop, &QEventLoop::exit);
        qApp->installEventFilter(this);
        QTimer::singleShot(kEditShowDelayMs, this, [this] {
            if (!ended_)
                show();
        });
        result = loop.exec();
        qApp->removeEventFilter(this);
    } else {
        result = exec();
    }
    task_.reset();
    return result;
}

bool ProgressWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Until the edit's window shows (and while it is up), the user's input belongs to it alone.
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut: {
        // The platform hands a click or a key to the dialog's window (a QWindow) before Qt passes it
        // on to the button under the pointer or in focus: both must get through.
        if (auto* window = qobject_cast<QWindow*>(watched))
            return window != windowHandle();
        auto* widget = qobject_cast<QWidget*>(watched);
        return !(widget && (widget == this || isAncestorOf(widget)));
    }
    default: return false;
    }
}

void ProgressWindow::PostTaskNotify(uint32_t kind, uint32_t position)
{
    QCoreApplication::postEvent(this, new TaskNotifyEvent(kind, position));
}

void ProgressWindow::customEvent(QEvent* event)
{
    if (event->type() != QEvent::Type(WM_TASK_NOTIFY)) {
        QDialog::customEvent(event);
        return;
    }
    const auto* notify = static_cast<TaskNotifyEvent*>(event);
    if (ended_)
        return;  // a late post after the window has already ended
    switch (notify->kind) {
    case TaskNone: break;
    case TaskPosition: bar_->setValue(int(std::min<uint32_t>(notify->position, uint32_t(bar_->maximum())))); break;
    case TaskFinished: done(kFinished); break;
    case TaskCancelled: done(kCancelled); break;
    default: done(kFailed); break;
    }
}

void ProgressWindow::done(int result)
{
    // A cancel ends the window at once; the worker sees the cancelled progress at its next poll and
    // Run() waits for it before handing the result back.
    if (ended_)
        return;
    ended_ = true;
    if (task_ && task_->IsRunning())
        task_->StopThread();
    QDialog::done(result);
}

void ProgressWindow::keyPressEvent(QKeyEvent* event)
{
    // A save shows no Cancel button because it cannot be stopped halfway without losing what the
    // user asked to keep: Esc, QDialog's cancel key, does nothing then. A load still cancels.
    if ((mode_ == TaskMode::Save || mode_ == TaskMode::Peaks) && event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ProgressWindow::closeEvent(QCloseEvent* event)
{
    // No system menu: the window ends only through the task or the Cancel button.
    event->ignore();
}

}  // namespace brindle

// Every window that blocks (file dialogs, message boxes, the modal dialogs) and every hand-over to the
// desktop (web links) is reached through one of these functions. The editor uses DefaultPrompts();
// tests put their own answers in, so nothing waits for a person.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

#include "document/document_task.h"

class QWidget;

namespace brindle {

class Document;

// What the save dialog returns: the chosen path and the filter it was chosen under (1 MP3, 2 WAV).
struct SaveChoice {
    QString path;
    int filterIndex = 1;
};

struct Prompts {
    // The open dialog; an empty string when cancelled.
    std::function<QString(QWidget* owner)> openPath;
    // The save dialog, proposing a name and preselecting filter 1 (MP3) or 2 (WAV); nothing when cancelled.
    std::function<std::optional<SaveChoice>(QWidget* owner, const QString& proposal, int filterIndex)> savePath;
    // "Хотите сохранить изменения?": Yes, No or Cancel.
    std::function<QMessageBox::StandardButton(QWidget* owner, const QString& text)> askSave;
    // An error box with the caption "Brindle".
    std::function<void(QWidget* owner, const QString& text)> showError;
    // The modal progress window over a load or save: 1 finished, 2 cancelled, 3 failed.
    std::function<int(QWidget* owner, Document& document, TaskMode mode)> runProgress;
    // The volume dialog: the accepted percentage, nothing when cancelled.
    std::function<std::optional<int>(QWidget* owner)> askVolume;
    // The stereo dialog: 1 proceed, 2 cancel.
    std::function<int(QWidget* owner)> askStereo;
    // The modal about box.
    std::function<void(QWidget* owner)> showAbout;
    // Hands a web address to the desktop; a failure is ignored.
    std::function<void(const QUrl& url)> openUrl;
};

// The real dialogs and the desktop's URL handler.
Prompts DefaultPrompts();

// The file-type filters of the two file dialogs, in the order their indices count from 1.
QStringList OpenFilters();
QStringList SaveFilters();
// The name in a save dialog's name box after the user picks filter 1 (MP3) or 2 (WAV): its
// extension replaced by the filter's, unless it already has it. An empty name stays empty.
QString RenameForFilter(const QString& name, int filterIndex);

}  // namespace brindle

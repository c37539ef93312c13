// Every window that blocks (file dialogs, message boxes, the modal dialogs) and every hand-over to the
// desktop (web links) is reached through one of these functions. The editor uses DefaultPrompts();
// tests put their own answers in, so nothing waits for a person.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

#include "app/loudness_dialogs.h"
#include "document/document_task.h"

class QWidget;

namespace brindle {

class Document;

// What the save dialog returns: the chosen path and the filter it was chosen under (1 MP3, 2 WAV).
struct SaveChoice {
    QString path;
    int filterIndex = 1;
};

// What a dialog's link does with its address: the window's OpenLink, so that a failure is told.
using LinkHandler = std::function<void(const QUrl& url)>;

struct Prompts {
    // The open dialog, starting in folder (empty: wherever the dialog likes); an empty string when
    // cancelled.
    std::function<QString(QWidget* owner, const QString& folder)> openPath;
    // The save dialog, proposing a name (a path: the dialog starts in its folder) and preselecting
    // filter 1 (MP3) or 2 (WAV); nothing when cancelled.
    std::function<std::optional<SaveChoice>(QWidget* owner, const QString& proposal, int filterIndex)> savePath;
    // "Сохранить изменения в <name>?": Yes, No or Cancel.
    std::function<QMessageBox::StandardButton(QWidget* owner, const QString& text)> askSave;
    // At start-up, "Восстановить несохранённые изменения в <name>?": true for Да, false for Нет.
    std::function<bool(QWidget* owner, const QString& text)> askRecover;
    // An error box with the caption "Brindle".
    std::function<void(QWidget* owner, const QString& text)> showError;
    // The modal progress window over a load or save: 1 finished, 2 cancelled, 3 failed.
    std::function<int(QWidget* owner, Document& document, TaskMode mode)> runProgress;
    // The volume dialog: the accepted percentage, nothing when cancelled.
    std::function<std::optional<int>(QWidget* owner)> askVolume;
    // The silence dialog: the accepted duration in seconds, nothing when cancelled.
    std::function<std::optional<double>(QWidget* owner)> askSilence;
    // The loudness dialog over the measured figures: the accepted gain in dB, nothing when cancelled.
    std::function<std::optional<double>(QWidget* owner, const LoudnessFigures& measured)> askLoudness;
    // The sound's properties, as rows of a name and its value.
    std::function<void(QWidget* owner, const PropertyRows& rows)> showProperties;
    // The stereo dialog: 1 proceed, 2 cancel. Its link goes to openLink.
    std::function<int(QWidget* owner, const LinkHandler& openLink)> askStereo;
    // The modal about box. Its link goes to openLink.
    std::function<void(QWidget* owner, const LinkHandler& openLink)> showAbout;
    // Hands an address to the desktop; false when nothing could take it.
    std::function<bool(const QUrl& url)> openUrl;
};

// Hands url to prompts.openUrl. When it names a local file that is missing (never handed over: the
// desktop's opener would fail where nobody sees it), or the hand-over fails, says so through
// prompts.showError over owner. True when the address was handed over.
bool OpenLink(const Prompts& prompts, QWidget* owner, const QUrl& url);

// The real dialogs and the desktop's URL handler.
Prompts DefaultPrompts();

// The file-type filters of the two file dialogs, in the order their indices count from 1.
QStringList OpenFilters();
QStringList SaveFilters();
// The name in a save dialog's name box after the user picks a filter (1 MP3, 2 WAV, 3 FLAC, 4 Ogg
// Vorbis, 5 Opus): its extension replaced by the filter's, unless it already has it. An empty name
// stays empty.
QString RenameForFilter(const QString& name, int filterIndex);
// The ending (without the dot) of the save filter at filterIndex (1-based, SaveFilters' order).
QString FilterExtension(int filterIndex);

}  // namespace brindle

#include "app/prompts.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>

#include "app/about_box.h"
#include "app/app_texts.h"
#include "app/progress_window.h"
#include "app/silence_dialog.h"
#include "app/stereo_dialog.h"
#include "app/volume_dialog.h"
#include "app/web_links.h"

namespace brindle {
namespace {

QString AskOpenPath(QWidget* owner, const QString& folder)
{
    QFileDialog dialog(owner);
    if (!folder.isEmpty())
        dialog.setDirectory(folder);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(OpenFilters());
    dialog.selectNameFilter(OpenFilters().constLast());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

std::optional<SaveChoice> AskSavePath(QWidget* owner, const QString& proposal, int filterIndex)
{
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(SaveFilters());
    dialog.selectNameFilter(SaveFilters().value(filterIndex - 1));
    dialog.selectFile(proposal);
    // Picking the other type renames what is in the name box, so the name and the type agree.
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        const int index = int(SaveFilters().indexOf(filter)) + 1;
        dialog.setDefaultSuffix(FilterExtension(index));
        if (auto* nameBox = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
            nameBox->setText(RenameForFilter(nameBox->text(), index));
        } else if (!dialog.selectedFiles().isEmpty()) {
            const QFileInfo chosen(dialog.selectedFiles().constFirst());
            dialog.selectFile(RenameForFilter(chosen.fileName(), index));
        }
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    const int chosenFilter = int(SaveFilters().indexOf(dialog.selectedNameFilter())) + 1;
    return SaveChoice{dialog.selectedFiles().constFirst(), chosenFilter == 1 ? 1 : 2};
}

QMessageBox::StandardButton AskSave(QWidget* owner, const QString& text)
{
    QMessageBox box(QMessageBox::Question, Texts::Caption(), text,
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, owner);
    box.setDefaultButton(QMessageBox::Yes);
    return QMessageBox::StandardButton(box.exec());
}

bool AskRecover(QWidget* owner, const QString& text)
{
    QMessageBox box(QMessageBox::Question, Texts::Caption(), text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void ShowError(QWidget* owner, const QString& text)
{
    QMessageBox box(QMessageBox::Critical, Texts::Caption(), text, QMessageBox::Ok, owner);
    box.exec();
}

bool OpenUrl(const QUrl& url) { return QDesktopServices::openUrl(url); }

}  // namespace

QStringList OpenFilters()
{
    return SaveFilters() << QCoreApplication::translate("brindle::Prompts",
                                                        "All Supported Files (*.mp3 *.wav *.flac *.ogg *.oga *.opus)");
}

QStringList SaveFilters()
{
    return {QCoreApplication::translate("brindle::Prompts", "MP3 Files (*.mp3)"),
            QCoreApplication::translate("brindle::Prompts", "WAV Files (*.wav)"),
            QCoreApplication::translate("brindle::Prompts", "FLAC Files (*.flac)"),
            QCoreApplication::translate("brindle::Prompts", "Ogg Vorbis Files (*.ogg *.oga)"),
            QCoreApplication::translate("brindle::Prompts", "Opus Files (*.opus)")};
}

bool OpenLink(const Prompts& prompts, QWidget* owner, const QUrl& url)
{
    const bool isThere = url.isValid() && (!url.isLocalFile() || QFileInfo::exists(url.toLocalFile()));
    if (isThere && prompts.openUrl && prompts.openUrl(url))
        return true;
    if (prompts.showError)
        prompts.showError(owner, Texts::LinkFailed(LinkText(url)));
    return false;
}

QString FilterExtension(int filterIndex)
{
    static const char* const kEndings[] = {"mp3", "wav", "flac", "ogg", "opus"};
    return QLatin1String(kEndings[filterIndex >= 1 && filterIndex <= 5 ? filterIndex - 1 : 1]);
}

QString RenameForFilter(const QString& name, int filterIndex)
{
    if (name.isEmpty())
        return name;
    const QString extension = FilterExtension(filterIndex);
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    // A leading dot (".hidden") names a file, not an extension.
    const bool hasExtension = dot > slash + 1;
    if (hasExtension && name.mid(dot + 1).compare(extension, Qt::CaseInsensitive) == 0)
        return name;
    return (hasExtension ? name.left(dot) : name) + QLatin1Char('.') + extension;
}

Prompts DefaultPrompts()
{
    Prompts prompts;
    prompts.openPath = AskOpenPath;
    prompts.savePath = AskSavePath;
    prompts.askSave = AskSave;
    prompts.askRecover = AskRecover;
    prompts.showError = ShowError;
    prompts.runProgress = [](QWidget* owner, Document& document, TaskMode mode) {
        ProgressWindow window(document, mode, owner);
        return window.Run();
    };
    prompts.askVolume = [](QWidget* owner) -> std::optional<int> {
        VolumeDialog dialog(owner);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.Percent();
    };
    prompts.askSilence = [](QWidget* owner) -> std::optional<double> {
        SilenceDialog dialog(owner);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.Seconds();
    };
    prompts.askLoudness = [](QWidget* owner, const LoudnessFigures& measured) -> std::optional<double> {
        LoudnessDialog dialog(measured, owner);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.GainDb();
    };
    prompts.showProperties = [](QWidget* owner, const PropertyRows& rows) { SoundPropertiesDialog(rows, owner).exec(); };
    prompts.askStereo = [](QWidget* owner, const LinkHandler& openLink) { return StereoDialog(owner, openLink).Ask(); };
    prompts.showAbout = [](QWidget* owner, const LinkHandler& openLink) { AboutBox(owner, openLink).exec(); };
    prompts.openUrl = OpenUrl;
    return prompts;
}

}  // namespace brindle

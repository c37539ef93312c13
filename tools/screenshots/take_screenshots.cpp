// Opens a stereo and a mono sound in the editor's main window, each with a range selected and the play
// cursor inside it, and saves what a person would see: the start panel, the main window with each
// sound, the volume dialog, the about box and the save question. It starts exactly as the editor does
// (same application set-up, same window) and prints the time from process launch to the window's first
// paint, taking the launch time from BRINDLE_LAUNCH_NS (nanoseconds since the epoch) when the caller
// set it.
//
//   brindle-screenshots STEREO_SOUND MONO_SOUND OUTPUT_FOLDER
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/about_box.h"
#include "app/loudness_dialogs.h"
#include "app/silence_dialog.h"
#include "app/keys_window.h"
#include "app/times_dialog.h"
#include "app/command_ids.h"
#include "app/app_texts.h"
#include "app/application_setup.h"
#include "app/document_view.h"
#include "app/main_frame.h"
#include "app/volume_dialog.h"
#include "view/time_format.h"
#include "view/waveform_view.h"

namespace {

long long NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Notes the moment the watched window first paints.
class FirstPaint final : public QObject {
public:
    long long atNs = 0;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && atNs == 0)
            atNs = NowNs();
        return QObject::eventFilter(watched, event);
    }
};

bool Save(QWidget& widget, const QString& folder, const char* name)
{
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "brindle-screenshots: cannot write %s\n", qUtf8Printable(path));
        return false;
    }
    std::printf("%s\n", qUtf8Printable(path));
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    const long long launchNs = std::getenv("BRINDLE_LAUNCH_NS") ? std::atoll(std::getenv("BRINDLE_LAUNCH_NS")) : 0;
    QApplication application(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: brindle-screenshots STEREO_SOUND MONO_SOUND OUTPUT_FOLDER\n");
        return 2;
    }
    brindle::SetUpApplication(application);
    const QString stereo = QString::fromLocal8Bit(argv[1]);
    const QString mono = QString::fromLocal8Bit(argv[2]);
    const QString folder = QString::fromLocal8Bit(argv[3]);

    brindle::MainFrame frame;
    FirstPaint firstPaint;
    frame.installEventFilter(&firstPaint);
    frame.show();
    while (firstPaint.atNs == 0)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (launchNs > 0)
        std::printf("first paint: %.1f ms after launch\n", (firstPaint.atNs - launchNs) / 1e6);

    bool ok = Save(frame, folder, "start-panel.png");
    // A range selected as a drag would leave it, the play cursor part of the way through it.
    auto showWithSelection = [&](const QString& sound, double from, double to, double at, const char* name) {
        if (!frame.OpenFile(sound)) {
            std::fprintf(stderr, "brindle-screenshots: cannot open %s\n", qUtf8Printable(sound));
            return false;
        }
        brindle::PlaybackEngine& engine = frame.Engine();
        const uint32_t frames = frame.GetDocument().ActiveBuffer().FrameCount();
        engine.SetSelectionStart(int64_t(frames * from), frames);
        engine.SetSelectionEnd(int64_t(frames * to), frames);
        engine.SetPosition(int64_t(frames * at), frames);
        frame.View()->Refresh(false);
        frame.RefreshUiState();
        return Save(frame, folder, name);
    };
    ok = showWithSelection(mono, 0.2, 0.55, 0.3, "main-window-mono.png") && ok;
    ok = showWithSelection(stereo, 0.25, 0.6, 0.4, "main-window.png") && ok;
    // The same window under a dark palette: the strips take its colours.
    {
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(53, 53, 53));
        dark.setColor(QPalette::WindowText, Qt::white);
        dark.setColor(QPalette::Base, QColor(35, 35, 38));
        dark.setColor(QPalette::Text, Qt::white);
        dark.setColor(QPalette::Button, QColor(53, 53, 53));
        dark.setColor(QPalette::ButtonText, Qt::white);
        dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
        dark.setColor(QPalette::Mid, QColor(90, 90, 90));
        const QPalette light = frame.palette();
        frame.setPalette(dark);
        ok = Save(frame, folder, "main-window-dark.png") && ok;
        frame.setPalette(light);
    }

    // The stereo sound as an MP3, cut and saved: the status pane says its frames were copied, and the
    // Выбор menu shows the snapping option.
    const QString mp3 = QDir(QDir::tempPath()).filePath(QStringLiteral("chord.mp3"));
    if (frame.GetDocument().Save(mp3.toStdString()) && frame.OpenFile(mp3)) {
        frame.RefreshUiState();
        brindle::PlaybackEngine& engine = frame.Engine();
        const uint32_t frames = frame.GetDocument().ActiveBuffer().FrameCount();
        engine.SetSelectionStart(frames / 3, frames);
        engine.SetSelectionEnd(frames / 2, frames);
        frame.Commands().Run(brindle::kCmdDeleteSelected);
        frame.GetDocument().SetTargetPath(QDir(QDir::tempPath()).filePath(QStringLiteral("chord-cut.mp3")).toStdString());
        ok = frame.Save() && Save(frame, folder, "mp3-saved-without-reencoding.png") && ok;
        for (QAction* action : frame.menuBar()->actions()) {
            QMenu* menu = action->menu();
            if (!menu || !menu->actions().contains(frame.Commands().Find(brindle::kCmdSnapToFrames)->menuAction))
                continue;
            menu->popup(frame.mapToGlobal(QPoint(120, 20)));
            ok = Save(*menu, folder, "selection-menu.png") && ok;
            menu->hide();
        }
        // Zoomed in on the cut's seam, the picture stretched four times: the ruler, the frame grid, and
        // the status bar saying how far snapping moved the start just set.
        brindle::WaveformView* waveform = frame.View()->Waveform();
        engine.Deselect();
        engine.SetPosition(frames / 3 + 1000, frames);
        waveform->ZoomAtFrame(7, frames / 3);
        waveform->ZoomVertically(2);
        frame.Commands().Run(brindle::kCmdSetStart);
        frame.RefreshUiState();
        ok = Save(frame, folder, "zoomed-ruler-frame-grid.png") && ok;
        waveform->ShowWholeSound();
    } else {
        ok = false;
    }

    // The stereo sound as a FLAC, a range copied and pasted: the Правка and Эффекты menus, the
    // loudness dialog over the sound's figures, the sound's properties and the silence dialog.
    const QString flac = QDir(QDir::tempPath()).filePath(QStringLiteral("chord.flac"));
    if (frame.GetDocument().Save(flac.toStdString()) && frame.OpenFile(flac)) {
        brindle::PlaybackEngine& engine = frame.Engine();
        const uint32_t frames = frame.GetDocument().ActiveBuffer().FrameCount();
        engine.SetSelectionStart(frames / 10, frames);
        engine.SetSelectionEnd(frames / 4, frames);
        frame.Commands().Run(brindle::kCmdCopy);
        engine.Deselect();
        engine.SetPosition(frames * 2 / 3, frames);
        frame.Commands().Run(brindle::kCmdPaste);
        frame.View()->Refresh(false);
        frame.RefreshUiState();
        ok = Save(frame, folder, "flac-after-paste.png") && ok;
        const std::pair<int, const char*> menus[] = {{brindle::kCmdPaste, "edit-menu-clipboard.png"},
                                                     {brindle::kCmdInsertSilence, "effects-menu.png"},
                                                     {brindle::kCmdSoundProperties, "file-menu-properties.png"}};
        for (const auto& [id, name] : menus) {
            for (QAction* action : frame.menuBar()->actions()) {
                QMenu* menu = action->menu();
                if (!menu || !menu->actions().contains(frame.Commands().Find(id)->menuAction))
                    continue;
                menu->popup(frame.mapToGlobal(QPoint(60, 20)));
                ok = Save(*menu, folder, name) && ok;
                menu->hide();
            }
        }
        if (frame.GetDocument().Measure(-1, -1)) {
            const brindle::LoudnessFigures& measured = frame.GetDocument().Measured();
            brindle::LoudnessDialog loudness(measured, &frame);
            loudness.Target()->setEditText(QStringLiteral("-14"));
            loudness.show();
            ok = Save(loudness, folder, "loudness-dialog.png") && ok;
            loudness.hide();
            // The window's own rows are made by its command, which runs the dialog modally: the
            // same figures, laid out the same way.
            auto figure = [](double value, const char* unit) {
                return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(unit);
            };
            const brindle::SoundBuffer& sound = frame.GetDocument().ActiveBuffer();
            brindle::SoundPropertiesDialog properties(
                {{brindle::Texts::PropertyFormat(),
                  brindle::Texts::FormatText(QStringLiteral("FLAC"), sound.format.bitsPerSample,
                                             sound.channels.SampleRate(), sound.channels.ChannelCount())},
                 {brindle::Texts::PropertyLength(),
                  QString::fromStdString(brindle::FormatTime(sound.DurationSeconds() * 1000.0))},
                 {brindle::Texts::PropertyPeak(), figure(measured.samplePeakDbfs, "dBFS")},
                 {brindle::Texts::PropertyLoudness(), figure(measured.integratedLufs, "LUFS")},
                 {brindle::Texts::PropertyRange(), figure(measured.rangeLu, "LU")},
                 {brindle::Texts::PropertyTruePeak(), figure(measured.truePeakDbfs, "dBFS")}},
                &frame);
            properties.show();
            ok = Save(properties, folder, "properties-dialog.png") && ok;
            properties.hide();
        }
        brindle::SilenceDialog silence(&frame);
        silence.show();
        ok = Save(silence, folder, "silence-dialog.png") && ok;
        silence.hide();
    } else {
        ok = false;
    }

    // Every menu dropped under its title, two to a row: the whole menu bar as it is.
    {
        const QList<QAction*> titles = frame.menuBar()->actions();
        const QPixmap window = frame.grab();
        const int tileHeight = 250;
        const int columns = 2;
        const int rows = int((titles.size() + columns - 1) / columns);
        QPixmap sheet(window.width() * columns, tileHeight * rows);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        for (qsizetype i = 0; i < titles.size(); ++i) {
            QMenu* menu = titles[i]->menu();
            const QPoint tile(int(i % columns) * window.width(), int(i / columns) * tileHeight);
            painter.drawPixmap(tile, window, QRect(0, 0, window.width(), tileHeight));
            menu->ensurePolished();
            menu->resize(menu->sizeHint());
            const QRect title = frame.menuBar()->actionGeometry(titles[i]);
            painter.drawPixmap(tile + frame.menuBar()->mapTo(&frame, title.bottomLeft()), menu->grab());
        }
        painter.end();
        const QString path = QDir(folder).filePath(QStringLiteral("menus.png"));
        ok = sheet.save(path) && ok;
        std::printf("%s\n", qUtf8Printable(path));
    }

    // The typed times and the keys window.
    {
        brindle::TimesDialog times(true, 44100, 264600, 1323000, 44100, &frame);
        times.show();
        ok = Save(times, folder, "set-selection-dialog.png") && ok;
        times.hide();
        brindle::KeysWindow keys(*frame.menuBar(), &frame);
        keys.show();
        ok = Save(keys, folder, "keys-window.png") && ok;
        keys.hide();
    }



    brindle::VolumeDialog volume(&frame);
    volume.Entry()->setEditText(QStringLiteral("150"));
    volume.show();
    ok = Save(volume, folder, "volume-dialog.png") && ok;
    volume.hide();

    brindle::AboutBox about(&frame);
    about.show();
    ok = Save(about, folder, "about-box.png") && ok;
    about.hide();

    // The save question, to see Qt's standard buttons in the language of the rest of the window.
    QMessageBox question(QMessageBox::Question, brindle::Texts::Caption(), brindle::Texts::AskSave(QStringLiteral("podcast.mp3")),
                         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, &frame);
    question.show();
    ok = Save(question, folder, "save-question.png") && ok;
    question.hide();

    // The start-up question about a crashed editor's edits.
    QMessageBox recover(QMessageBox::Question, brindle::Texts::Caption(),
                        brindle::Texts::AskRecover(QStringLiteral("chord.wav")), QMessageBox::Yes | QMessageBox::No,
                        &frame);
    recover.show();
    ok = Save(recover, folder, "recovery-question.png") && ok;
    recover.hide();

    frame.GetDocument().Reset();
    return ok ? 0 : 1;
}

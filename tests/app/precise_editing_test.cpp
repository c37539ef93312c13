// Typed times, the snapping they go through and what the status bar says of it, and the common keys.
#include <QAccessible>
#include <QAction>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>

#include <cmath>
#include <functional>

#include "app/command_ids.h"
#include "app/document_view.h"
#include "app/keys_window.h"
#include "app/status_panes.h"
#include "app/times_dialog.h"
#include "gui_test_support.h"
#include "playback/alsa_wave_out.h"
#include "view/waveform_view.h"

namespace brindle {

class PreciseEditingTest : public QObject, protected test::WindowFixture {
    Q_OBJECT

private:
    static constexpr int64_t kRate = 44100;
    QString tone_;  // 20 s mono WAV
    QString mp3_;   // 20 s stereo MP3

    WaveformView* Waveform() const { return frame_->View()->Waveform(); }
    PlaybackEngine& Engine() const { return frame_->Engine(); }
    // Ctrl+key opens the dialog, fields are typed with Tab between, then Enter; check sees it still up if refused.
    void Answer(Qt::Key key, const QStringList& fields, const std::function<void(TimesDialog&)>& check = {})
    {
        bool seen = false;
        QVERIFY(Activate());
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<TimesDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            // Tab selects what a field holds only in an active window, and offscreen nothing activates it.
            dialog->activateWindow();
            seen = QTest::qWaitFor([dialog] { return dialog->isActiveWindow(); });
            for (int i = 0; i < fields.size(); ++i) {
                if (i > 0)
                    QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
                if (!fields[i].isEmpty())
                    QTest::keyClicks(dialog->focusWidget(), fields[i]);
            }
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
            if (check)
                check(*dialog);
            if (dialog->isVisible())
                dialog->reject();
        });
        QTest::keyClick(Waveform(), key, Qt::ControlModifier);
        QVERIFY2(seen, "the key opened no dialog");
    }

private slots:
    void initTestCase()
    {
        tone_ = test::MakeTone(QStringLiteral("tone.wav"), 20, 1);
        mp3_ = test::MakeTone(QStringLiteral("tone.mp3"), 20, 2);
        QVERIFY(!tone_.isEmpty() && !mp3_.isEmpty());
    }
    void init() { FreshWindow(); }
    void cleanup() { StopWindow(); }

    // Two fields decide the third; a refused time keeps the dialog up with the field marked and says why.
    void typedTimesSetTheSelectionOrAreRefused_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<int64_t>("start");
        QTest::addColumn<int64_t>("end");
        QTest::addColumn<int>("marked");
        QTest::addColumn<QString>("reason");
        const int none = -1;
        QTest::newRow("start, end from the end") << QStringList{"2.5", "-5"} << 2 * kRate + kRate / 2 << 15 * kRate << none << "";
        QTest::newRow("start and length") << QStringList{"0:01", "", "2"} << kRate << 3 * kRate << none << "";
        QTest::newRow("end and length") << QStringList{"", "10", "0:00:03.000"} << 7 * kRate << 10 * kRate << none << "";
        QTest::newRow("frame counts") << QStringList{"1000 smp", "2000 smp"} << int64_t(1000) << int64_t(2000) << none << "";
        QTest::newRow("start alone, to the end") << QStringList{"-5"} << 15 * kRate << 20 * kRate << none << "";
        QTest::newRow("nothing typed") << QStringList{} << 2 * kRate << 20 * kRate << none << "";
        const int64_t all = 20 * kRate;
        QTest::newRow("not a time") << QStringList{"12,5,0"} << int64_t(0) << all << int(TimesDialog::kStart)
                                    << "Начало: Время не распознано";
        QTest::newRow("past the end") << QStringList{"", "25"} << int64_t(0) << all << int(TimesDialog::kEnd)
                                      << "Конец: За пределами звука";
        QTest::newRow("end first") << QStringList{"5", "2"} << int64_t(0) << all << int(TimesDialog::kEnd)
                                   << "Конец: Конец раньше начала";
        QTest::newRow("too long") << QStringList{"15", "", "6"} << int64_t(0) << all << int(TimesDialog::kLength)
                                  << "Длительность: За пределами звука";
        QTest::newRow("a length counted back") << QStringList{"1", "", "-2"} << int64_t(0) << all
                                               << int(TimesDialog::kLength) << "Длительность: Время не распознано";
    }
    void typedTimesSetTheSelectionOrAreRefused()
    {
        QFETCH(QStringList, fields);
        QFETCH(int64_t, start);
        QFETCH(int64_t, end);
        QFETCH(int, marked);
        QFETCH(QString, reason);
        QVERIFY(OpenAndFocus(tone_));
        if (marked >= 0)
            Engine().SelectAll(20 * kRate);
        Engine().SetPosition(2 * kRate, 20 * kRate);
        bool refused = false;
        Answer(Qt::Key_E, fields, [&](TimesDialog& dialog) {
            refused = dialog.isVisible() && dialog.MarkedField() == marked &&
                      dialog.focusWidget() == dialog.Entry(TimesDialog::Field(marked)) &&
                      dialog.Entry(TimesDialog::Field(marked))->accessibleDescription() == reason.section(": ", 1) &&
                      dialog.findChild<QLabel*>(QStringLiteral("reason"))->text() == reason;
        });
        QCOMPARE(refused, marked >= 0);
        QCOMPARE(Engine().selectionStart, start);
        QCOMPARE(Engine().selectionEnd, end);
        QCOMPARE(Engine().GetPosition(), marked >= 0 ? 2 * kRate : start);
        // A WAV has no grid: nothing to say of snapping (a slow load may still be saying how long it took).
        QVERIFY2(!frame_->Status().Message().startsWith(QStringLiteral("Границ")), qPrintable(frame_->Status().Message()));
    }

    // On an MP3 both dialogs go through the snapping rule, and the status bar says how far it moved.
    void goToAndTypedEdgesOnAnMp3SnapAndSayByHowMuch()
    {
        QVERIFY(OpenAndFocus(mp3_));
        const auto grid = frame_->GetDocument().Mp3FrameGrid();
        QVERIFY(grid.has_value());
        const QRegularExpression one(QStringLiteral("^Граница привязана к кадру MP3: ([−+]\\d+) мс$"));
        const QRegularExpression two(QStringLiteral("^Границы привязаны к MP3: ([−+]\\d+) и ([−+]\\d+) мс$"));
        auto onGrid = [&](int64_t frame, int64_t typed, const QString& said) {
            const int64_t ms = std::llround(double(frame - typed) * 1000 / kRate);
            return frame % grid->step == grid->phase && std::llabs(frame - typed) <= grid->step / 2 &&
                   said == (ms < 0 ? QStringLiteral("−%1").arg(-ms) : QStringLiteral("+%1").arg(ms));
        };
        Answer(Qt::Key_G, {"12.5"});
        const QRegularExpressionMatch said = one.match(frame_->Status().Message());
        QVERIFY2(said.hasMatch(), qPrintable(frame_->Status().Message()));
        QVERIFY(onGrid(Engine().GetPosition(), 12 * kRate + kRate / 2, said.captured(1)));
        QVERIFY(!Engine().HasSelection());

        Answer(Qt::Key_E, {"2.5", "-5"});
        const QRegularExpressionMatch both = two.match(frame_->Status().Message());
        QVERIFY2(both.hasMatch(), qPrintable(frame_->Status().Message()));
        QVERIFY(onGrid(Engine().selectionStart, 2 * kRate + kRate / 2, both.captured(1)));
        const int64_t frames = frame_->GetDocument().ActiveBuffer().FrameCount();
        QVERIFY(onGrid(Engine().selectionEnd, frames - 5 * kRate, both.captured(2)));
        // Whole in the message pane at the window's first size.
        frame_->statusBar()->layout()->activate();
        for (QLabel* label : frame_->statusBar()->findChildren<QLabel*>()) {
            if (label->text() == frame_->Status().Message())
                QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
        }
        // A drag says it once the button is up, not at every move.
        int x = 150;
        while (Engine().Snapped(Waveform()->PixelToFrame(x), frames) == Waveform()->PixelToFrame(x))
            ++x;
        frame_->Status().SetMessage(QStringLiteral("Готов"));
        QTest::mousePress(Waveform(), Qt::LeftButton, {}, QPoint(60, 20));
        QTest::mouseMove(Waveform(), QPoint(x, 20));
        QCOMPARE(frame_->Status().Message(), QStringLiteral("Готов"));
        QTest::mouseRelease(Waveform(), Qt::LeftButton, {}, QPoint(x, 20));
        const QRegularExpressionMatch dragged = one.match(frame_->Status().Message());
        QVERIFY2(dragged.hasMatch(), qPrintable(frame_->Status().Message()));
        QVERIFY(onGrid(Engine().selectionEnd, Waveform()->PixelToFrame(x), dragged.captured(1)));
        // Shift with the arrow keys moves an edge through the same rule, and says so.
        frame_->Status().SetMessage(QStringLiteral("Готов"));
        Press(Qt::Key_Right, Qt::ShiftModifier);
        QVERIFY2(frame_->Status().Message().startsWith(QStringLiteral("Границ")), qPrintable(frame_->Status().Message()));
    }

    // L loops the selection, playing or not; once off, the run ends at the selection's end.
    void lLoopsTheSelection()
    {
        FakeWaveOut& fake = UseFakeDevice(size_t(1) << 24);
        QVERIFY(OpenAndFocus(tone_));
        Engine().SetSelectionStart(kRate, 20 * kRate);
        Engine().SetSelectionEnd(2 * kRate, 20 * kRate);
        QAction* loop = MenuAction(kCmdLoopSelection);
        Press(Qt::Key_L);
        QVERIFY(loop->isChecked() && Engine().loop);
        Press(Qt::Key_Space);
        for (uint32_t frames : {uint32_t(kRate / 2), uint32_t(kRate)}) {
            fake.Advance(frames);
            QCoreApplication::sendPostedEvents();
        }
        QVERIFY(Engine().isOpen);
        QCOMPARE(Engine().GetPosition(), kRate + kRate / 2);
        Press(Qt::Key_L);
        QVERIFY(!loop->isChecked() && !Engine().loop);
        QCOMPARE(Engine().GetPosition(), kRate + kRate / 2);
        for (int i = 0; i < 10 && Engine().isOpen; ++i) {
            fake.Advance(uint32_t(kRate));
            QCoreApplication::sendPostedEvents();
        }
        QVERIFY(!Engine().isOpen);
        QCOMPARE(fake.played.size(), size_t(kRate) * 2);
    }

    // Ctrl+Shift+wheel stretches a quiet picture; zoomed in, the MP3 frame grid shows; a dark palette is followed.
    void thePictureZoomsVerticallyShowsTheFrameGridAndFollowsADarkPalette()
    {
        const QString quiet = test::ScratchDir() + QStringLiteral("/quiet.wav");
        QVERIFY(test::RunTool("sox", {"-r", "44100", "-n", "-b", "16", "-c", "1", quiet, "synth", "2", "sine", "440", "vol", "0.05"}));
        QVERIFY(OpenAndFocus(quiet));
        WaveformView* waveform = Waveform();
        auto reach = [waveform] {  // rows the line reaches above the centre, in column 10
            const QImage image = waveform->WaveImage();
            int top = image.height() / 2;
            while (top > 0 && image.pixelColor(10, top - 1) == QColor(0, 52, 113))
                --top;
            return image.height() / 2 - top;
        };
        const int flat = reach();
        QWheelEvent wheel(QPointF(10, 10), waveform->mapToGlobal(QPointF(10, 10)), {}, QPoint(0, 240), Qt::NoButton,
                          Qt::ControlModifier | Qt::ShiftModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(waveform, &wheel);
        QCOMPARE(waveform->VerticalZoom(), 2);
        QVERIFY(!waveform->IsZoomed());
        waveform->grab();
        QVERIFY2(reach() >= 4 * flat - 1 && flat > 0, qPrintable(QStringLiteral("%1 then %2").arg(flat).arg(reach())));
        frame_->RefreshUiState();
        Press(Qt::Key_Down, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(waveform->VerticalZoom(), 1);
        Press(Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(waveform->VerticalZoom(), 0);

        QVERIFY(OpenAndFocus(mp3_));
        QVERIFY(waveform->GridColumns(0, waveform->width()).empty());  // far too dense to show
        for (int i = 0; i < 6; ++i)
            Press(Qt::Key_Equal, Qt::ControlModifier);
        const std::vector<int> grid = waveform->GridColumns(0, waveform->width());
        QVERIFY(grid.size() >= 2);
        const int64_t step = frame_->GetDocument().Mp3FrameGrid()->step;
        const int64_t phase = frame_->GetDocument().Mp3FrameGrid()->phase;
        const int64_t perColumn = waveform->VisibleRange().count / waveform->width() + 1;
        const QImage screen = waveform->grab().toImage();
        for (int x : grid) {
            const int64_t off = ((waveform->PixelToFrame(x) - phase) % step + step) % step;
            QVERIFY2(std::min(off, step - off) <= perColumn, qPrintable(QString::number(off)));
            QVERIFY(screen.pixelColor(x, 2) != waveform->WaveImage().pixelColor(x, 2));
        }

        QPalette dark;
        dark.setColor(QPalette::Window, QColor(40, 40, 40));
        dark.setColor(QPalette::Base, QColor(20, 20, 24));
        frame_->setPalette(dark);
        waveform->grab();
        QCOMPARE(waveform->WaveImage().pixelColor(0, 0), QColor(20, 20, 24));
    }

    // The panes' tips and names, the waveform's value, and why Play failed with no device.
    void everyValueIsReadableAndAFailedPlaySaysWhy()
    {
        QVERIFY(OpenAndFocus(tone_));
        QStringList tips;
        for (QLabel* label : frame_->statusBar()->findChildren<QLabel*>()) {
            if (!label->toolTip().isEmpty())
                tips << label->toolTip() + QLatin1Char('=') + label->accessibleName();
        }
        QCOMPARE(tips, (QStringList{"Длина=Длина", "Позиция=Позиция", "Начало выделения=Начало выделения",
                                    "Конец выделения=Конец выделения"}));
        QAccessibleInterface* wave = QAccessible::queryAccessibleInterface(Waveform());
        QVERIFY(wave);
        QCOMPARE(wave->text(QAccessible::Name), QStringLiteral("Звуковая волна"));
        QCOMPARE(wave->text(QAccessible::Value), QStringLiteral("Позиция 00:00.000, без выделения"));
        Answer(Qt::Key_E, {"1", "3"});
        QCOMPARE(wave->text(QAccessible::Value), QStringLiteral("Позиция 00:01.000, выделение с 00:01.000 по 00:03.000"));

        AlsaWaveOut::Options nowhere;
        nowhere.deviceName = "brindle_no_such_device";
        frame_->SetOutputDevice(std::make_unique<AlsaWaveOut>(nowhere));
        Press(Qt::Key_Space);
        QVERIFY(!Engine().isOpen);
        QCOMPARE(dialogs_.errors.size(), 1);
        QVERIFY2(dialogs_.errors[0].startsWith(QStringLiteral("Не удалось открыть звуковое устройство: brindle_no_such_device: ")),
                 qPrintable(dialogs_.errors[0]));
    }

    // Ctrl+Shift+S asks for a name, Ctrl+W asks about changes by name, Ctrl+Q closes the window.
    void theConventionalKeysDoWhatEveryProgramDoes()
    {
        QVERIFY(OpenAndFocus(tone_));
        Press(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(dialogs_.saveDialogs, 1);
        frame_->Commands().Run(kCmdFadeIn);
        dialogs_.saveQuestionAnswers = {QMessageBox::Cancel, QMessageBox::No};
        Press(Qt::Key_W, Qt::ControlModifier);
        QCOMPARE(dialogs_.lastSaveQuestion, QStringLiteral("Сохранить изменения в tone.wav?"));
        QVERIFY(frame_->IsShowingDocument());
        Press(Qt::Key_W, Qt::ControlModifier);
        QVERIFY(!frame_->IsShowingDocument() && frame_->GetDocument().IsEmpty());
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        QTest::keyClick(frame_.get(), Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(closed.count(), 1);
    }

    // F1 lists every menu key; Эффекты holds the sound edits, greyed by their rules.
    void theKeysWindowListsEveryKeyAndEffectsHoldsTheEdits()
    {
        QVERIFY(OpenAndFocus(tone_));
        Press(Qt::Key_F1);
        auto* keys = frame_->findChild<KeysWindow*>();
        QVERIFY(keys && keys->isVisible());
        QStringList rows;
        for (int i = 0; i < keys->List()->topLevelItemCount(); ++i)
            rows << keys->List()->topLevelItem(i)->text(0) + QLatin1Char('|') + keys->List()->topLevelItem(i)->text(1);
        for (QAction* top : frame_->menuBar()->actions()) {
            for (QAction* action : top->menu()->actions()) {
                for (const QKeySequence& key : action->shortcuts())
                    QVERIFY2(rows.join('\n').contains(key.toString(QKeySequence::NativeText)), qPrintable(key.toString()));
            }
        }
        QVERIFY(rows.contains(QStringLiteral("Ctrl+E|Выбор → Задать выделение…")));
        QVERIFY(rows.contains(QStringLiteral("Space|Воспроизвести → Воспроизведение")));
        QVERIFY(rows.contains(QStringLiteral("Shift+Home, Shift+End|Выделить до начала, до конца")));
        keys->close();

        QMenu* effects = frame_->menuBar()->actions().at(5)->menu();
        QCOMPARE(effects->title(), QStringLiteral("&Эффекты"));
        QStringList texts;
        for (QAction* action : effects->actions())
            texts << action->text();
        QCOMPARE(texts, (QStringList{"&Изменить громкость...", "&Увеличить громкость", "&Возрастание", "&Затухание",
                                     "Конвертировать в &Моно", "Convert to &Stereo", QString(), "Вставить &тишину...",
                                     "&Нормализовать громкость..."}));
        frame_->RefreshUiState();
        QVERIFY(!effects->actions().at(4)->isEnabled());  // a mono sound is mono already
        effects->actions().at(2)->trigger();
        QCOMPARE(MenuAction(kCmdUndo)->text(), QStringLiteral("Отменить: Возрастание"));
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::PreciseEditingTest)
#include "precise_editing_test.moc"

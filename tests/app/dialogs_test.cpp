// The volume dialog with its slider, the stereo and loudness dialogs, the about box and the version line.
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWheelEvent>

#include "app/about_box.h"
#include "app/link_label.h"
#include "app/loudness_dialogs.h"
#include "app/prompts.h"
#include "app/stereo_dialog.h"
#include "app/version_text.h"
#include "app/volume_dialog.h"
#include "controls/slider_control.h"
#include "gui_test_support.h"

namespace brindle {

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    // What is typed is what the entry shows and the dialog answers: the list's 50, 10, 75 and 125
    // may not complete it. A letter is refused; past 500 the entry shows it but OK cannot apply it.
    void volumeAnswersWithExactlyWhatTheEntryShows()
    {
        const char* rows[][2] = {{"5", "5 -95 5"},       {"1", "1 -99 1"},       {"7", "7 -93 7"},
                                 {"12", "12 -88 12"},    {"125", "125 6 125"},   {"333", "333 58 333"},
                                 {"500", "500 100 500"}, {"a", " -100 refused"}, {"501", "501 100 refused"},
                                 {"999", "999 100 refused"}};
        for (const auto& [typed, shown] : rows) {
            VolumeDialog dialog;
            dialog.show();
            QLineEdit* line = dialog.Entry()->lineEdit();
            line->clear();
            line->setFocus();
            for (const char* key = typed; *key; ++key)
                QTest::keyClick(dialog.windowHandle(), *key);
            QCOMPARE(line->selectedText(), QString());  // nothing added to what was typed
            const QString answer = dialog.OkButton()->isEnabled() ? QString::number(dialog.Percent()) : QStringLiteral("refused");
            QCOMPARE(QStringLiteral("%1 %2 %3").arg(dialog.Entry()->currentText()).arg(dialog.Slider()->Value()).arg(answer),
                     QString::fromLatin1(shown));
        }
    }

    // The slider and the entry stay in step whichever moves: by the list, a key, a wheel notch (a
    // touchpad's scroll end carries no movement and moves nothing) and a click at either end.
    void volumeSliderAndEntryStayInStep()
    {
        VolumeDialog dialog;
        dialog.show();
        QCOMPARE(dialog.Entry()->currentText(), QStringLiteral("100"));
        QCOMPARE(dialog.Slider()->Value(), 0);
        dialog.Entry()->lineEdit()->clear();
        QVERIFY(!dialog.OkButton()->isEnabled());
        dialog.Entry()->setCurrentIndex(dialog.Entry()->findText(QStringLiteral("200")));
        QVERIFY(dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.Slider()->Value(), 25);

        SliderControl* slider = dialog.Slider();
        slider->setFocus();
        QTest::keyClick(slider, Qt::Key_Right);
        QCOMPARE(dialog.Entry()->currentText(), QStringLiteral("204"));
        QCOMPARE(dialog.Entry()->lineEdit()->selectedText(), QStringLiteral("204"));
        const QPointF inside = slider->mapTo(&dialog, QPointF(slider->width() / 2.0, slider->height() / 2.0));
        for (const auto& [delta, phase, shown] : {std::tuple(0, Qt::ScrollEnd, "204"), std::tuple(120, Qt::NoScrollPhase, "208")}) {
            QWheelEvent wheel(inside, dialog.mapToGlobal(inside), {}, {0, delta}, {}, {}, phase, false);
            QApplication::sendEvent(dialog.windowHandle(), &wheel);
            QCOMPARE(dialog.Entry()->currentText(), QString::fromLatin1(shown));
        }
        for (const auto& [x, shown] : {std::pair(1, "0"), std::pair(slider->width() - 1, "500")}) {
            QTest::mouseClick(dialog.windowHandle(), Qt::LeftButton, {}, slider->mapTo(&dialog, QPoint(x, slider->height() / 2)));
            QCOMPARE(dialog.Entry()->currentText(), QString::fromLatin1(shown));
        }
    }

    // Named by its label, not its value, and still a combo box with its list and its line edit, the
    // line edit holding the focus.
    void volumeEntryIsNamedByItsLabelNotItsValue()
    {
        VolumeDialog dialog;
        dialog.show();
        QAccessibleInterface* box = QAccessible::queryAccessibleInterface(dialog.Entry());
        QAccessibleInterface* line = QAccessible::queryAccessibleInterface(dialog.Entry()->lineEdit());
        QVERIFY(box && line);
        for (QAccessibleInterface* control : {box, line}) {
            QCOMPARE(control->text(QAccessible::Name), QStringLiteral("Громкость (%)"));
            QCOMPARE(control->text(QAccessible::Value), QStringLiteral("100"));
        }
        QCOMPARE(box->role(), QAccessible::ComboBox);
        QCOMPARE(box->childCount(), 2);
        QCOMPARE(box->focusChild(), line);
        QCOMPARE(box->indexOfChild(line), 1);
    }

    // The centre mark shows beside the thumb; disabled, every pixel is halfway to the face colour, so
    // the value still shows, washed out.
    void sliderGeometryAndPaint()
    {
        SliderControl slider;
        slider.SetRange(-100, 100);
        slider.SetTrackLength(200);
        slider.SetCentreMark(true);
        slider.setFixedSize(206, 17);
        QCOMPARE(slider.ThumbRect(), QRect(100, 2, 7, 13));
        QCOMPARE(slider.ValueAtX(103), 0);
        slider.SetValue(-100);  // the thumb out of the way of the mark
        const QImage image = slider.grab().toImage();
        const QRgb shadow = slider.palette().color(QPalette::Dark).rgb();
        QCOMPARE(image.pixel(103, 8), shadow);
        QVERIFY(image.pixel(102, 8) != shadow && image.pixel(104, 8) != shadow);
        slider.setEnabled(false);
        const int face = slider.palette().color(QPalette::Disabled, QPalette::Window).red();
        const int mark = slider.palette().color(QPalette::Disabled, QPalette::Dark).red();
        const int red = slider.grab().toImage().pixelColor(103, 8).red();
        QVERIFY2(std::abs(red - (mark + (face - mark) / 2)) <= 1, qPrintable(QString::number(red)));
    }

    void stereoDialogAnswersAndLinks()
    {
        QList<QUrl> opened;
        StereoDialog dialog(nullptr, [&opened](const QUrl& url) { opened << url; });
        QTimer::singleShot(0, &dialog, [&dialog] {
            for (QPushButton* button : dialog.findChildren<QPushButton*>())
                if (button->text() == QLatin1String("Cancel"))
                    button->click();
        });
        QCOMPARE(dialog.Ask(), 2);
        dialog.Link()->Activate();
        QCOMPARE(opened.size(), 1);
        QVERIFY(dialog.Link()->IsVisited());
        QVERIFY2(opened[0].scheme().startsWith(QLatin1String("http")) || QFileInfo(opened[0].toLocalFile()).isFile(),
                 qPrintable(opened[0].toString()));
    }

    void saveDialogRenamesForTheChosenType()
    {
        const std::tuple<QString, int, QString> rows[] = {
            {"song (1).mp3", 2, "song (1).wav"}, {"take", 1, "take.mp3"}, {"x.WAV", 2, "x.WAV"},  // already right, any case
            {"/a.b/take", 2, "/a.b/take.wav"},  {"", 1, ""},             {"take.wav", 3, "take.flac"},
            {"take.mp3", 4, "take.ogg"},        {"take", 5, "take.opus"}};
        for (const auto& [name, filter, renamed] : rows)
            QCOMPARE(name + QStringLiteral(" -> ") + RenameForFilter(name, filter), name + QStringLiteral(" -> ") + renamed);
    }

    // The gain goes to the target unless it would push the true peak over the ceiling: then the
    // dialog says so and offers, checked, the gain that stops there; even a cut can be held to a
    // ceiling set below the peak.
    void loudnessDialogOffersTheGainThatStopsAtTheCeiling()
    {
        LoudnessDialog dialog(LoudnessFigures{.integratedLufs = -20.0, .truePeakDbfs = -3.0});
        QCOMPARE(dialog.Target()->currentText(), QStringLiteral("-16"));
        QCOMPARE(dialog.Target()->count(), 3);
        QVERIFY(!dialog.StopAtCeiling()->isHidden() && dialog.StopAtCeiling()->isChecked());
        QCOMPARE(dialog.GainDb(), 2.0);
        QVERIFY(dialog.Verdict()->text().contains(QStringLiteral("выше потолка -1.0 dBFS")));
        dialog.StopAtCeiling()->setChecked(false);
        QCOMPARE(dialog.GainDb(), 4.0);
        dialog.Target()->setEditText(QStringLiteral("-23"));
        QVERIFY(dialog.StopAtCeiling()->isHidden());
        QCOMPARE(dialog.GainDb(), -3.0);
        dialog.Ceiling()->setValue(-7.0);
        QVERIFY(!dialog.StopAtCeiling()->isHidden());
        dialog.StopAtCeiling()->setChecked(true);
        QCOMPARE(dialog.GainDb(), -4.0);
        dialog.Target()->setEditText(QStringLiteral("abc"));
        QVERIFY(!dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.Target()->lineEdit()->accessibleName(), QStringLiteral("Целевая громкость (LUFS)"));
    }

    // The version line from a product version, and the about box with this build's: the maker's
    // address as the build was given it, or a README that is there, shown as its path.
    void aboutBoxShowsThisBuildsVersion()
    {
        QCOMPARE(VersionLine(QStringLiteral("1.2.3.45")), QStringLiteral("Version 1.2.3  (Build 45)"));
        QCOMPARE(VersionLine(QStringLiteral("1, 2, 3, 45")), QStringLiteral("Version 1.2.3  (Build 45)"));
        QCOMPARE(VersionLine(QStringLiteral("1.2.3")), QString());
        AboutBox box;
        QVERIFY(box.VersionLabel()->text().startsWith(QLatin1String("Version ")));
        QVERIFY(box.VersionLabel()->text().contains(QLatin1String("  (Build ")));
        const QUrl target = box.Link()->Target();
        QVERIFY(!target.hasQuery());
        QVERIFY2(!target.isLocalFile() || QFileInfo(target.toLocalFile()).isFile(), qPrintable(target.toString()));
        QCOMPARE(box.Link()->text(), target.isLocalFile() ? target.toLocalFile() : target.toString());
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::DialogsTest)
#include "dialogs_test.moc"

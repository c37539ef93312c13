// The volume dialog with its slider, the stereo dialog, the about box and the version line.
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
    void volumeAnswersWithExactlyWhatTheEntryShows_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("slider");
        QTest::addColumn<bool>("accepted");
        // The list holds 50, 10, 75 and 125: none of them may complete what is typed.
        QTest::newRow("5") << "5" << "5" << -95 << true;
        QTest::newRow("1") << "1" << "1" << -99 << true;
        QTest::newRow("7") << "7" << "7" << -93 << true;
        QTest::newRow("12") << "12" << "12" << -88 << true;
        QTest::newRow("125, between two slider steps") << "125" << "125" << 6 << true;
        QTest::newRow("333") << "333" << "333" << 58 << true;
        QTest::newRow("500") << "500" << "500" << 100 << true;
        QTest::newRow("a letter is refused") << "a" << "" << -100 << false;
        QTest::newRow("501 cannot be applied") << "501" << "501" << 100 << false;
        QTest::newRow("999 cannot be applied") << "999" << "999" << 100 << false;
    }
    void volumeAnswersWithExactlyWhatTheEntryShows()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(int, slider);
        QFETCH(bool, accepted);
        VolumeDialog dialog;
        dialog.show();
        dialog.Entry()->lineEdit()->clear();
        QTest::keyClicks(dialog.Entry()->lineEdit(), typed);
        QCOMPARE(dialog.Entry()->currentText(), shown);
        QCOMPARE(dialog.Entry()->lineEdit()->selectedText(), QString());  // nothing added to what was typed
        QCOMPARE(dialog.Slider()->Value(), slider);
        QCOMPARE(dialog.OkButton()->isEnabled(), accepted);
        if (accepted)
            QCOMPARE(dialog.Percent(), shown.toInt());
    }

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
        // A touchpad's scroll end carries no movement and moves nothing; a wheel notch is one step.
        const QPointF inside(slider->width() / 2.0, slider->height() / 2.0);
        QWheelEvent scrollEnd(inside, slider->mapToGlobal(inside), QPoint(), QPoint(), Qt::NoButton, Qt::NoModifier,
                              Qt::ScrollEnd, false);
        QApplication::sendEvent(slider, &scrollEnd);
        QCOMPARE(dialog.Entry()->currentText(), QStringLiteral("204"));
        QWheelEvent notch(inside, slider->mapToGlobal(inside), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(slider, &notch);
        QCOMPARE(dialog.Entry()->currentText(), QStringLiteral("208"));
        const int y = slider->height() / 2;
        QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(1, y));
        QCOMPARE(dialog.Entry()->currentText(), QStringLiteral("0"));
        QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() - 1, y));
        QCOMPARE(dialog.Entry()->currentText(), QStringLiteral("500"));
    }

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
        // Still a combo box with its list and its line edit, the line edit holding the focus.
        QCOMPARE(box->role(), QAccessible::ComboBox);
        QCOMPARE(box->childCount(), 2);
        QCOMPARE(box->focusChild(), line);
        QCOMPARE(box->indexOfChild(line), 1);
    }

    void sliderGeometryAndPaint()
    {
        SliderControl slider;
        slider.SetRange(-100, 100);
        slider.SetTrackLength(200);
        slider.SetCentreMark(true);
        slider.setFixedSize(206, 17);
        QCOMPARE(slider.ThumbRect(), QRect(100, 2, 7, 13));
        QCOMPARE(slider.ValueAtX(103), 0);

        slider.SetValue(-100);  // thumb out of the way of the centre mark
        const QImage image = slider.grab().toImage();
        const QColor shadow = slider.palette().color(QPalette::Dark);
        const int middle = 17 / 2;
        QCOMPARE(image.pixelColor(103, middle).rgb(), shadow.rgb());
        QVERIFY(image.pixelColor(102, middle).rgb() != shadow.rgb() && image.pixelColor(104, middle).rgb() != shadow.rgb());

        // Disabled: every pixel halfway to the face colour, so the value still shows, washed out.
        slider.setEnabled(false);
        const QImage washed = slider.grab().toImage();
        const QColor face = slider.palette().color(QPalette::Disabled, QPalette::Window);
        const QColor mark = slider.palette().color(QPalette::Disabled, QPalette::Dark);
        const int expectedRed = mark.red() + (face.red() - mark.red()) / 2;
        QVERIFY2(std::abs(washed.pixelColor(103, middle).red() - expectedRed) <= 1,
                 qPrintable(QStringLiteral("red %1, expected %2").arg(washed.pixelColor(103, middle).red()).arg(expectedRed)));
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

    void saveDialogRenamesForTheChosenType_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("filterIndex");
        QTest::addColumn<QString>("renamed");
        QTest::newRow("mp3 to wav") << "song (1).mp3" << 2 << "song (1).wav";
        QTest::newRow("no extension") << "take" << 1 << "take.mp3";
        QTest::newRow("already right, any case") << "x.WAV" << 2 << "x.WAV";
        QTest::newRow("a dot in the folder only") << "/a.b/take" << 2 << "/a.b/take.wav";
        QTest::newRow("empty box") << "" << 1 << "";
        QTest::newRow("wav to flac") << "take.wav" << 3 << "take.flac";
        QTest::newRow("to ogg") << "take.mp3" << 4 << "take.ogg";
        QTest::newRow("to opus") << "take" << 5 << "take.opus";
    }
    void saveDialogRenamesForTheChosenType()
    {
        QFETCH(QString, name);
        QFETCH(int, filterIndex);
        QFETCH(QString, renamed);
        QCOMPARE(RenameForFilter(name, filterIndex), renamed);
    }

    // The gain goes to the target unless it would push the true peak over the ceiling: then the
    // dialog says so and offers, checked, the gain that stops there.
    void loudnessDialogOffersTheGainThatStopsAtTheCeiling()
    {
        LoudnessFigures measured;
        measured.integratedLufs = -20.0;
        measured.truePeakDbfs = -3.0;
        LoudnessDialog dialog(measured);
        QCOMPARE(dialog.Target()->currentText(), QStringLiteral("-16"));
        QCOMPARE(dialog.Target()->count(), 3);
        QVERIFY(!dialog.StopAtCeiling()->isHidden());
        QVERIFY(dialog.StopAtCeiling()->isChecked());
        QCOMPARE(dialog.GainDb(), 2.0);
        QVERIFY(dialog.Verdict()->text().contains(QStringLiteral("выше потолка -1.0 dBFS")));
        dialog.StopAtCeiling()->setChecked(false);
        QCOMPARE(dialog.GainDb(), 4.0);
        dialog.Target()->setEditText(QStringLiteral("-23"));
        QVERIFY(dialog.StopAtCeiling()->isHidden());
        QCOMPARE(dialog.GainDb(), -3.0);
        // Even a cut can be held to a ceiling set below the peak.
        dialog.Ceiling()->setValue(-7.0);
        QVERIFY(!dialog.StopAtCeiling()->isHidden());
        dialog.StopAtCeiling()->setChecked(true);
        QCOMPARE(dialog.GainDb(), -4.0);
        dialog.Target()->setEditText(QStringLiteral("abc"));
        QVERIFY(!dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.Target()->lineEdit()->accessibleName(), QStringLiteral("Целевая громкость (LUFS)"));
    }

    void versionLine_data()
    {
        QTest::addColumn<QString>("productVersion");
        QTest::addColumn<QString>("line");
        QTest::newRow("dots") << "1.2.3.45" << "Version 1.2.3  (Build 45)";
        QTest::newRow("commas and spaces") << "1, 2, 3, 45" << "Version 1.2.3  (Build 45)";
        QTest::newRow("three parts") << "1.2.3" << "";
    }
    void versionLine()
    {
        QFETCH(QString, productVersion);
        QFETCH(QString, line);
        QCOMPARE(VersionLine(productVersion), line);
    }

    void aboutBoxShowsThisBuildsVersion()
    {
        AboutBox box;
        QVERIFY(box.VersionLabel()->text().startsWith(QLatin1String("Version ")));
        QVERIFY(box.VersionLabel()->text().contains(QLatin1String("  (Build ")));
        // The maker's address as the build was given it, or a README that is there, shown as its path.
        const QUrl target = box.Link()->Target();
        QVERIFY(!target.hasQuery());
        if (target.isLocalFile()) {
            QVERIFY2(QFileInfo(target.toLocalFile()).isFile(), qPrintable(target.toString()));
            QCOMPARE(box.Link()->text(), target.toLocalFile());
        } else {
            QCOMPARE(box.Link()->text(), target.toString());
        }
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::DialogsTest)
#include "dialogs_test.moc"

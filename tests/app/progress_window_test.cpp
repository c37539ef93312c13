// The progress window over a real load or save: its three results, the cancelled load, save mode.
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "document/document.h"
#include "app/progress_window.h"
#include "gui_test_support.h"

namespace brindle {

namespace {

// A silent 16-bit stereo WAV of `frames` frames, written sparse so an hour costs nothing to make.
QString LongSilentWav(const QString& name, uint32_t frames)
{
    const QString path = test::ScratchDir() + QLatin1Char('/') + name;
    const uint32_t dataBytes = frames * 4;
    auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::string header = "RIFF" + le32(36 + dataBytes) + "WAVEfmt " + le32(16);
    header += std::string{1, 0, 2, 0} + le32(44100) + le32(44100 * 4) + std::string{4, 0, 16, 0};
    header += "data" + le32(dataBytes);
    std::ofstream(path.toStdString(), std::ios::binary) << header;
    std::filesystem::resize_file(path.toStdString(), 44 + uint64_t(dataBytes));
    return path;
}

}  // namespace

class ProgressWindowTest : public QObject {
    Q_OBJECT

private slots:
    void loadFinishesWithTheBarFull()
    {
        Document document;
        document.SetSourcePath(test::MakeTone(QStringLiteral("tone.wav"), 0.5, 2).toStdString());
        ProgressWindow window(document, TaskMode::Load, nullptr);
        QCOMPARE(window.windowTitle(), QStringLiteral("Загружаем"));
        QVERIFY(window.CancelButton()->isVisibleTo(&window));
        QCOMPARE(window.Bar()->maximum(), window.Bar()->width());  // one unit per pixel
        QCOMPARE(window.Run(), 1);
        QCOMPARE(window.Bar()->value(), window.Bar()->maximum());
        QCOMPARE(document.ActiveBuffer().FrameCount(), 22050u);
    }

    void failedLoadEndsWith3AndAnEmptyDocument()
    {
        Document document;
        document.SetSourcePath((test::ScratchDir() + QStringLiteral("/song.ogg")).toStdString());
        ProgressWindow window(document, TaskMode::Load, nullptr);
        QCOMPARE(window.Run(), 3);
        QVERIFY(document.IsEmpty());
    }

    void cancelledLoadEndsWith2AndAnEmptyDocument()
    {
        Document document;
        document.SetSourcePath(LongSilentWav(QStringLiteral("hour.wav"), 44100u * 3600).toStdString());
        ProgressWindow window(document, TaskMode::Load, nullptr);
        // Cancel as soon as the bar first moves, so the worker is certainly under way.
        connect(window.Bar(), &QProgressBar::valueChanged, &window, [&window](int value) {
            if (value > 0)
                window.CancelButton()->click();
        });
        QCOMPARE(window.Run(), 2);
        QVERIFY(document.IsEmpty());
        QVERIFY(document.SourcePath().empty());
    }

    // Esc is QDialog's Cancel: it still ends a load, but a save, which shows no Cancel, runs on.
    void escapeCancelsALoadButNotASave()
    {
        Document document;
        const std::string source = test::MakeTone(QStringLiteral("ten seconds.wav"), 10, 2).toStdString();
        document.SetSourcePath(source);
        bool escaped = false;
        // Esc once the bar first moves, so the worker is certainly under way.
        auto escapeOnceUnderWay = [&escaped](ProgressWindow& window) {
            escaped = false;
            connect(window.Bar(), &QProgressBar::valueChanged, &window, [&window, &escaped](int value) {
                if (value > 0 && !escaped) {
                    escaped = true;
                    QTest::keyClick(&window, Qt::Key_Escape);
                }
            });
        };
        {
            ProgressWindow window(document, TaskMode::Load, nullptr);
            escapeOnceUnderWay(window);
            QCOMPARE(window.Run(), 2);
            QVERIFY(escaped);
        }

        QCOMPARE(document.Load(source), 1);
        const QString target = test::ScratchDir() + QStringLiteral("/escaped.wav");
        document.SetTargetPath(target.toStdString());
        ProgressWindow window(document, TaskMode::Save, nullptr);
        escapeOnceUnderWay(window);
        QCOMPARE(window.Run(), 1);
        QVERIFY(escaped);
        QCOMPARE(test::SoxFrameCount(target), 10 * 44100);
    }

    void saveHasNoCancelButtonAndFailsWith3()
    {
        Document document;
        document.SetSourcePath(test::MakeTone(QStringLiteral("save.wav"), 0.2, 1).toStdString());
        QCOMPARE(document.Load(), 1);
        const QString target = test::ScratchDir() + QStringLiteral("/missing folder/out.wav");
        document.SetTargetPath(target.toStdString());
        ProgressWindow window(document, TaskMode::Save, nullptr);
        QCOMPARE(window.windowTitle(), QStringLiteral("Сохраняем"));
        QVERIFY(!window.CancelButton()->isVisibleTo(&window));
        QVERIFY(window.height() < ProgressWindow(document, TaskMode::Load, nullptr).height());
        QCOMPARE(window.Run(), 3);
        QVERIFY(!std::filesystem::exists(target.toStdString()));
        QVERIFY(document.Modified() == false && !document.IsEmpty());
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::ProgressWindowTest)
#include "progress_window_test.moc"

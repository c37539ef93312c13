// The progress window over a real load or save: its three results, Cancel and Esc, save mode.
#include <QProgressBar>
#include <QPushButton>

#include <filesystem>
#include <fstream>

#include "app/progress_window.h"
#include "document/document.h"
#include "gui_test_support.h"

namespace brindle {
namespace {

// A silent 16-bit stereo WAV of an hour, written sparse so it costs nothing to make, and long enough
// that a cancel always lands before the load ends.
QString HourOfSilence()
{
    const QString path = test::ScratchDir() + "/hour.wav";
    const uint32_t dataBytes = 44100u * 3600 * 4;
    auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::ofstream(path.toStdString(), std::ios::binary) << "RIFF" + le32(36 + dataBytes) + "WAVEfmt " + le32(16) +
                                                               std::string{1, 0, 2, 0} + le32(44100) + le32(44100 * 4) +
                                                               std::string{4, 0, 16, 0} + "data" + le32(dataBytes);
    std::filesystem::resize_file(path.toStdString(), 44 + uint64_t(dataBytes));
    return path;
}

}  // namespace

class ProgressWindowTest : public QObject {
    Q_OBJECT

    QString tone_ = test::MakeTone(QStringLiteral("ten seconds.wav"), 10, 2);

    // Runs the window, cancelling (kButton, or a key to its window) once the bar first moves, so the
    // worker is certainly under way: Run()'s result, or -1 when nothing was pressed.
    static constexpr int kButton = -1;
    static int Run(ProgressWindow& window, int cancel)
    {
        bool pressed = false;
        connect(window.Bar(), &QProgressBar::valueChanged, &window, [&](int value) {
            if (value > 0 && cancel && !pressed) {
                pressed = true;
                cancel == kButton ? window.CancelButton()->click() : QTest::keyClick(window.windowHandle(), Qt::Key(cancel));
            }
        });
        const int result = window.Run();
        return cancel && !pressed ? -1 : result;
    }

private slots:
    void aLoadFinishesWithTheBarFullOrEndsCancelledOrFailedWithNothingLoaded()
    {
        const struct { QString source; int cancel, result; } rows[] = {
            {tone_, 0, 1}, {HourOfSilence(), kButton, 2}, {HourOfSilence(), Qt::Key_Escape, 2},
            {test::ScratchDir() + "/song.ogg", 0, 3}};
        for (const auto& row : rows) {
            Document document;
            document.SetSourcePath(row.source.toStdString());
            ProgressWindow window(document, TaskMode::Load, nullptr);
            QCOMPARE(window.windowTitle(), QStringLiteral("Загружаем"));
            QVERIFY(window.CancelButton()->isVisibleTo(&window));
            QCOMPARE(window.Bar()->maximum(), window.Bar()->width());  // one unit per pixel
            QCOMPARE(Run(window, row.cancel), row.result);
            QCOMPARE(document.IsEmpty(), row.result != 1);
            QVERIFY(row.result != 2 || document.SourcePath().empty());
            if (row.result == 1) {
                QCOMPARE(window.Bar()->value(), window.Bar()->maximum());
                QCOMPARE(document.ActiveBuffer().FrameCount(), 441000u);
            }
        }
    }

    // A save shows no Cancel, and Esc, which is QDialog's Cancel, does not stop it; a failed one
    // leaves no file and the sound as it was.
    void aSaveRunsOnPastEscAndFailsWith3()
    {
        Document document;
        QCOMPARE(document.Load(tone_.toStdString()), 1);
        for (const QString& folder : {QString(), QStringLiteral("/missing folder")}) {
            const QString target = test::ScratchDir() + folder + QStringLiteral("/saved.wav");
            document.SetTargetPath(target.toStdString());
            ProgressWindow window(document, TaskMode::Save, nullptr);
            QCOMPARE(window.windowTitle(), QStringLiteral("Сохраняем"));
            QVERIFY(!window.CancelButton()->isVisibleTo(&window));
            QVERIFY(window.height() < ProgressWindow(document, TaskMode::Load, nullptr).height());
            QCOMPARE(Run(window, folder.isEmpty() ? Qt::Key_Escape : 0), folder.isEmpty() ? 1 : 3);
            QCOMPARE(std::filesystem::exists(target.toStdString()), folder.isEmpty());
            QVERIFY(!folder.isEmpty() || test::SoxFrameCount(target) == 441000);
            QVERIFY(!document.Modified() && !document.IsEmpty());
        }
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::ProgressWindowTest)
#include "progress_window_test.moc"

// What the window keeps between runs: its place on the screen, the folder of the last file opened or
// saved (where the file dialogs start) and the recent files, in Qt's settings file. Several copies
// may run at once, so every change reads the file again and writes it whole.
#pragma once

#include <QByteArray>
#include <QString>

#include <filesystem>
#include <vector>

namespace brindle {

inline constexpr int kRecentFileCount = 10;

struct RememberedState {
    QByteArray geometry;  // QWidget::saveGeometry
    QString folder;
    std::vector<std::filesystem::path> recent;  // most recent first, at most kRecentFileCount
    // Selection edges of a sound opened from an MP3 snap to where a cut keeps its frames copyable.
    bool snapToMp3Frames = true;
};

// What file holds. A file that is missing, unreadable, damaged or written for another layout of
// these keys reads as nothing remembered: never a reason not to start.
RememberedState ReadRemembered(const QString& file);
// Replaces what file holds (a damaged file is written afresh). Nothing happens for an empty name.
void WriteRemembered(const QString& file, const RememberedState& state);
// path first, without an older entry for it, and no more than kRecentFileCount.
void AddRecent(RememberedState& state, const std::filesystem::path& path);
// The user's settings file: Brindle/Brindle.conf under $XDG_CONFIG_HOME, or ~/.config without it.
// The application's organisation and name must have been set (SetUpApplication).
QString DefaultSettingsFile();

}  // namespace brindle

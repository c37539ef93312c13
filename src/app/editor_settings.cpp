#include "app/editor_settings.h"

#include <QCoreApplication>
#include <QSettings>
#include <QVariant>

#include <algorithm>

namespace brindle {
namespace {

// Raised whenever a key changes meaning, so an older or newer layout is ignored, not misread.
constexpr int kFormatVersion = 1;

const QString kVersionKey = QStringLiteral("format/version");
const QString kGeometryKey = QStringLiteral("window/geometry");
const QString kFolderKey = QStringLiteral("files/folder");
const QString kRecentKey = QStringLiteral("files/recent");
const QString kSnapKey = QStringLiteral("selection/snapToMp3Frames");

std::filesystem::path PathOf(const QByteArray& bytes) { return std::string(bytes.constData(), size_t(bytes.size())); }

}  // namespace

RememberedState ReadRemembered(const QString& file)
{
    RememberedState state;
    if (file.isEmpty())
        return state;
    const QSettings settings(file, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return state;
    bool ok = false;
    if (settings.value(kVersionKey).toInt(&ok) != kFormatVersion || !ok)
        return state;
    state.geometry = settings.value(kGeometryKey).toByteArray();
    state.folder = settings.value(kFolderKey).toString();
    state.snapToMp3Frames = settings.value(kSnapKey, true).toBool();
    // Paths are kept as bytes: a name that is not UTF-8 must still lead to its file.
    for (const QVariant& entry : settings.value(kRecentKey).toList()) {
        const QByteArray bytes = entry.toByteArray();
        if (!bytes.isEmpty() && !bytes.contains('\0') && int(state.recent.size()) < kRecentFileCount)
            state.recent.push_back(PathOf(bytes));
    }
    return state;
}

void WriteRemembered(const QString& file, const RememberedState& state)
{
    if (file.isEmpty())
        return;
    QSettings settings(file, QSettings::IniFormat);
    // Whatever a damaged or foreign file held goes: only what was read back as ours is written.
    settings.clear();
    settings.setValue(kVersionKey, kFormatVersion);
    if (!state.geometry.isEmpty())
        settings.setValue(kGeometryKey, state.geometry);
    if (!state.folder.isEmpty())
        settings.setValue(kFolderKey, state.folder);
    if (!state.snapToMp3Frames)
        settings.setValue(kSnapKey, false);
    QVariantList recent;
    for (const std::filesystem::path& path : state.recent)
        recent << QByteArray::fromStdString(path.string());
    if (!recent.isEmpty())
        settings.setValue(kRecentKey, recent);
    settings.sync();
}

void AddRecent(RememberedState& state, const std::filesystem::path& path)
{
    std::erase(state.recent, path);
    state.recent.insert(state.recent.begin(), path);
    if (int(state.recent.size()) > kRecentFileCount)
        state.recent.resize(size_t(kRecentFileCount));
}

QString DefaultSettingsFile()
{
    // Qt's native format on Linux is this INI file, named .conf as every Qt program's is.
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QCoreApplication::organizationName(),
                     QCoreApplication::applicationName())
        .fileName();
}

}  // namespace brindle

#include "app/web_links.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrlQuery>

#include "build_config.h"

namespace brindle {
namespace {

QUrl LinkUrl(const char* configured, bool withRef)
{
    const QString address = QString::fromUtf8(configured);
    if (address.isEmpty())
        return QUrl::fromLocalFile(ReadmePath());
    const QUrl base(address);
    return withRef ? WithRef(base) : base;
}

}  // namespace

QUrl WithRef(const QUrl& base)
{
    if (base.scheme() != QLatin1String("http") && base.scheme() != QLatin1String("https"))
        return base;
    QUrl url = base;
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("ref"));
    query.addQueryItem(QStringLiteral("ref"), QStringLiteral("kolv"));
    url.setQuery(query);
    return url;
}

QString ReadmePath()
{
    const QString installed = QString::fromUtf8(config::kInstalledReadme);
    if (QFileInfo(installed).isFile())
        return installed;
    const QString besideProgram = QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                                                  QString::fromUtf8(config::kReadmeFromProgram));
    if (QFileInfo(besideProgram).isFile())
        return besideProgram;
    const QString source = QString::fromUtf8(config::kSourceReadme);
    return QFileInfo(source).isFile() ? source : installed;
}

QUrl SiteUrl(bool withRef) { return LinkUrl(config::kSiteUrl, withRef); }

QUrl TessalyUrl(bool withRef) { return LinkUrl(config::kTessalyUrl, withRef); }

QString LinkText(const QUrl& url) { return url.isLocalFile() ? url.toLocalFile() : url.toString(); }

}  // namespace brindle

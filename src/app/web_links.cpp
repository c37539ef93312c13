#include "app/web_links.h"

#include <QUrlQuery>

#include "build_config.h"

namespace brindle {

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

QUrl SiteUrl(bool withRef)
{
    const QUrl base(QString::fromUtf8(config::kSiteUrl));
    return withRef ? WithRef(base) : base;
}

QUrl TessalyUrl(bool withRef)
{
    const QUrl base(QString::fromUtf8(config::kTessalyUrl));
    return withRef ? WithRef(base) : base;
}

}  // namespace brindle

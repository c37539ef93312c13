// Where the editor's links lead. The addresses are build settings; the query "ref=kolv" marks the
// links that carry it (the menus, the stereo dialog). A local address (the installed documentation,
// the default) gets no query: a file has no use for one and some openers would look for a file
// whose name ends in it.
#pragma once

#include <QUrl>

namespace brindle {

QUrl SiteUrl(bool withRef);
QUrl TessalyUrl(bool withRef);
// base with ref=kolv added when it is a web address.
QUrl WithRef(const QUrl& base);

}  // namespace brindle

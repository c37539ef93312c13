// Where the editor's links lead. The addresses are build settings; the query "ref=kolv" marks the
// links that carry it (the menus, the stereo dialog). A build given no address leads to the README,
// as installed or else in the source tree it was built from, so that a build that is not installed
// still opens something. A local address gets no query: a file has no use for one and some openers
// would look for a file whose name ends in it.
#pragma once

#include <QString>
#include <QUrl>

namespace brindle {

QUrl SiteUrl(bool withRef);
QUrl TessalyUrl(bool withRef);
// base with ref=kolv added when it is a web address.
QUrl WithRef(const QUrl& base);
// The README the links lead to when the build names no address: the installed one when it is
// there, else the source tree's; when neither is, the installed one's path all the same.
QString ReadmePath();
// url as a person reads it: a local file as its path, anything else as the address.
QString LinkText(const QUrl& url);

}  // namespace brindle

// "About Brindle": a banner, the product name, the version line of this build, a line about the
// program and the maker's address as a link.
#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QUrl;

namespace brindle {

class LinkLabel;

class AboutBox : public QDialog {
    Q_OBJECT

public:
    explicit AboutBox(QWidget* owner = nullptr, std::function<void(const QUrl&)> openUrl = {});
    QLabel* VersionLabel() const { return version_; }
    LinkLabel* Link() const { return link_; }

private:
    QLabel* version_ = nullptr;
    LinkLabel* link_ = nullptr;
};

}  // namespace brindle

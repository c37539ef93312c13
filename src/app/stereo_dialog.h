// "Convert to Stereo": explains that the conversion only duplicates the track and asks to proceed.
// Exec() answers 1 (proceed) or 2 (cancel).
#pragma once

#include <QDialog>

#include <functional>

class QUrl;

namespace brindle {

class LinkLabel;

class StereoDialog : public QDialog {
    Q_OBJECT

public:
    explicit StereoDialog(QWidget* owner = nullptr, std::function<void(const QUrl&)> openUrl = {});
    // 1 proceed, 2 cancel.
    int Ask();
    LinkLabel* Link() const { return link_; }

private:
    LinkLabel* link_ = nullptr;
};

}  // namespace brindle

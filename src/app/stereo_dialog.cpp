#include "app/stereo_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/link_label.h"
#include "app/web_links.h"

namespace brindle {

StereoDialog::StereoDialog(QWidget* owner, std::function<void(const QUrl&)> openUrl) : QDialog(owner)
{
    setWindowTitle(tr("Convert to Stereo"));
    setAccessibleName(windowTitle());

    auto* layout = new QVBoxLayout(this);
    static constexpr const char* kLines[] = {
        QT_TR_NOOP("This program converts mono to stereo by duplicating the mono track."),
        QT_TR_NOOP("To create stereo with spatial depth, try Tessaly Mono to Stereo Converter."),
        QT_TR_NOOP("For more information, please visit:")};
    for (const char* text : kLines) {
        auto* label = new QLabel(tr(text), this);
        label->setWordWrap(true);
        layout->addWidget(label);
    }
    const QUrl target = TessalyUrl(true);
    link_ = new LinkLabel(tr("Tessaly Mono to Stereo Converter"), target, LinkLabel::Underline::OnHover, this);
    if (openUrl)
        link_->SetOpener(std::move(openUrl));
    link_->setToolTip(QString());
    layout->addWidget(link_);

    auto* proceed = new QPushButton(tr("Proceed to Convert"), this);
    proceed->setDefault(true);
    proceed->setAccessibleName(proceed->text());
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setAccessibleName(cancel->text());
    connect(proceed, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(proceed);
    buttons->addWidget(cancel);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    setMinimumWidth(380);
    proceed->setFocus();
}

int StereoDialog::Ask() { return exec() == QDialog::Accepted ? 1 : 2; }

}  // namespace brindle

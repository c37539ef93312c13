#include "app/about_box.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/link_label.h"
#include "app/version_text.h"
#include "app/web_links.h"

namespace brindle {
namespace {

// The banner across the top: the program's icon on a band in its colours.
QPixmap Banner(int width, int height)
{
    QPixmap banner(width, height);
    QPainter painter(&banner);
    QLinearGradient gradient(0, 0, width, 0);
    gradient.setColorAt(0, QColor(23, 52, 74));
    gradient.setColorAt(1, QColor(38, 112, 120));
    painter.fillRect(banner.rect(), gradient);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(255, 255, 255, 40), 2));
    for (int x = 0; x < width; x += 6) {
        const double amplitude = (height / 2.0 - 8) * (0.35 + 0.65 * std::abs(std::sin(x * 0.021)) * std::abs(std::cos(x * 0.007)));
        painter.drawLine(QPointF(x, height / 2.0 - amplitude), QPointF(x, height / 2.0 + amplitude));
    }
    const QPixmap icon(QStringLiteral(":/brindle.png"));
    painter.drawPixmap(QRect(12, (height - 48) / 2, 48, 48), icon);
    return banner;
}

}  // namespace

AboutBox::AboutBox(QWidget* owner, std::function<void(const QUrl&)> openUrl) : QDialog(owner)
{
    setWindowTitle(tr("About Brindle"));
    setAccessibleName(windowTitle());

    auto* banner = new QLabel(this);
    banner->setPixmap(Banner(370, 70));
    banner->setAccessibleName(QStringLiteral("Brindle"));

    auto* name = new QLabel(QStringLiteral("Brindle"), this);
    QFont bold = name->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    name->setFont(bold);
    version_ = new QLabel(ProgramVersionLine(), this);
    version_->setObjectName(QStringLiteral("version"));
    version_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* about = new QLabel(tr("Небольшой редактор звука: MP3 и WAV."), this);
    const QUrl site = SiteUrl(false);
    link_ = new LinkLabel(LinkText(site), site, LinkLabel::Underline::OnHover, this);
    if (openUrl)
        link_->SetOpener(std::move(openUrl));
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setDefault(true);
    ok->setAccessibleName(ok->text());
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->setContentsMargins(16, 10, 16, 0);
    text->setSpacing(4);
    for (QWidget* widget : {static_cast<QWidget*>(name), static_cast<QWidget*>(version_), static_cast<QWidget*>(about),
                            static_cast<QWidget*>(link_)})
        text->addWidget(widget);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(16, 0, 16, 12);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(banner);
    layout->addLayout(text);
    layout->addWidget(line);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    ok->setFocus();
}

}  // namespace brindle

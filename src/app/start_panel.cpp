#include "app/start_panel.h"

#include <QIcon>
#include <QPushButton>
#include <QVBoxLayout>

namespace brindle {

StartPanel::StartPanel(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("VeHome"));
    setAccessibleName(tr("Начало работы"));
    openButton_ = new QPushButton(QIcon(QStringLiteral(":/icons/open.png")),
                                  tr("Открыть файл для редактирования"), this);
    openButton_->setObjectName(QStringLiteral("startOpen"));
    openButton_->setAccessibleName(openButton_->text());
    openButton_->setIconSize(QSize(24, 24));
    openButton_->setMinimumHeight(44);
    openButton_->setDefault(true);
    connect(openButton_, &QPushButton::clicked, this, &StartPanel::openRequested);

    auto* layout = new QVBoxLayout(this);
    layout->addStretch(1);
    layout->addWidget(openButton_, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    setFocusProxy(openButton_);
}

}  // namespace brindle

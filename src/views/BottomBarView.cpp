#include "views/BottomBarView.h"

#include "views/Palette.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

BottomBarView::BottomBarView(QWidget* parent) : QWidget(parent)
{
    setObjectName("bottomBar");
    setFixedSize(1024, barHeight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 0, 16, 0);
    layout->addStretch();
    auto* version = new QLabel(versionText(), this);
    version->setObjectName("versionLabel");
    version->setFont(Palette::font(12));
    layout->addWidget(version);
}

QString BottomBarView::appVersion() { return QStringLiteral(MT_APP_VERSION); }

QString BottomBarView::versionText() { return QStringLiteral("KWO-VR v") + appVersion(); }

void BottomBarView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Palette::gray());
    painter.fillRect(rect().adjusted(1, 1, -1, -1), Palette::panelColor());
}

#include "app/TabControl.h"

#include <QPainter>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>

TTabControl::TTabControl(QWidget* parent) : QWidget(parent), tabs_(new QTabBar(this)) {
    tabs_->setExpanding(false);
    tabs_->setDrawBase(false);
    tabs_->setElideMode(Qt::ElideRight);
    tabs_->setUsesScrollButtons(false);
    connect(tabs_, &QTabBar::currentChanged, this, [this](int) { emit Change(); });
}

void TTabControl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    tabs_->setGeometry(0, 0, qMin(width(), tabs_->maximumWidth()), tabs_->sizeHint().height());
}

void TTabControl::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    frame.rect = rect().adjusted(0, tabs_->sizeHint().height() - 1, 0, 0);
    painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

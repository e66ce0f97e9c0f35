#include "app/TabControl.h"

#include <QKeySequence>
#include <QPainter>
#include <QShortcut>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>

TTabControl::TTabControl(QWidget* parent) : QWidget(parent), tabs_(new QTabBar(this)) {
    tabs_->setExpanding(false);
    tabs_->setDrawBase(false);
    tabs_->setElideMode(Qt::ElideRight);
    tabs_->setUsesScrollButtons(false);
    connect(tabs_, &QTabBar::currentChanged, this, [this](int) { emit Change(); });
    // From anywhere in the window, as in any tabbed window: Ctrl+Tab and Ctrl+Page Down go to
    // the next tab, Ctrl+Shift+Tab and Ctrl+Page Up to the previous one.
    const auto step = [this](int by) {
        const int count = tabs_->count();
        if (count == 0 || !tabs_->isEnabled() || !tabs_->isVisible()) return;
        tabs_->setFocus(Qt::ShortcutFocusReason);
        tabs_->setCurrentIndex((tabs_->currentIndex() + by + count) % count);
    };
    for (const QKeySequence& keys : {QKeySequence(QKeySequence::NextChild), QKeySequence(Qt::CTRL | Qt::Key_PageDown)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, [step] { step(1); });
    for (const QKeySequence& keys :
         {QKeySequence(QKeySequence::PreviousChild), QKeySequence(Qt::CTRL | Qt::Key_PageUp)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, [step] { step(-1); });
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

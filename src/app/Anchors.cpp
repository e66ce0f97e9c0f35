#include "app/Anchors.h"

#include <QEvent>
#include <QPointer>
#include <QResizeEvent>

namespace norvane {

namespace {

class Anchor final : public QObject {
public:
    Anchor(QWidget* widget, Qt::Edges edges)
        : QObject(widget), widget_(widget), edges_(edges), start_(widget->geometry()),
          parentStart_(widget->parentWidget()->size()) {
        widget->parentWidget()->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize && widget_ && watched == widget_->parentWidget()) apply();
        return false;
    }

private:
    void apply() {
        const QSize now = widget_->parentWidget()->size();
        const int dx = now.width() - parentStart_.width();
        const int dy = now.height() - parentStart_.height();
        QRect r = start_;
        const bool left = edges_ & Qt::LeftEdge, right = edges_ & Qt::RightEdge;
        const bool top = edges_ & Qt::TopEdge, bottom = edges_ & Qt::BottomEdge;
        if (left && right) r.setWidth(start_.width() + dx);
        else if (right) r.moveLeft(start_.left() + dx);
        if (top && bottom) r.setHeight(start_.height() + dy);
        else if (bottom) r.moveTop(start_.top() + dy);
        widget_->setGeometry(r);
    }

    QPointer<QWidget> widget_;
    Qt::Edges edges_;
    QRect start_;
    QSize parentStart_;
};

}  // namespace

void anchor(QWidget* widget, Qt::Edges edges) {
    if (widget && widget->parentWidget()) new Anchor(widget, edges);
}

}  // namespace norvane

#pragma once
// A tab strip with a client area of its own, in which the caller places one panel per
// tab and decides which is visible when the selected tab changes. The keyboard reaches the
// strip with Tab (the arrows then change the tab) or switches tabs with Ctrl+Tab.

#include <QTabBar>
#include <QWidget>

class TTabControl : public QWidget {
    Q_OBJECT
public:
    explicit TTabControl(QWidget* parent = nullptr);

    QTabBar* Tabs() const { return tabs_; }
    int TabIndex() const { return tabs_->currentIndex(); }
    void setTabIndex(int index) { tabs_->setCurrentIndex(index); }

signals:
    void Change();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QTabBar* tabs_;
};

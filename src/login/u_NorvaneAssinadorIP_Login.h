#pragma once
// The login window: the application's main window until the end of the run.

#include <QWidget>
#include <memory>

namespace Ui {
class TFLogin;
}

class TFLogin : public QWidget {
    Q_OBJECT
public:
    explicit TFLogin(QWidget* parent = nullptr);
    ~TFLogin() override;

    std::unique_ptr<Ui::TFLogin> ui;

protected:
    void closeEvent(QCloseEvent* event) override;
};

extern TFLogin* FLogin;

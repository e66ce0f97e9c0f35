#pragma once
// The login window: the application's main window until the end of the run.

#include "service/HttpClient.h"

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

    norvane::HttpClient IdHTTP1;  // version check and login

protected:
    void closeEvent(QCloseEvent* event) override;
};

extern TFLogin* FLogin;

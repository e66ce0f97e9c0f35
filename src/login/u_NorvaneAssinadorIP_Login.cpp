#include "login/u_NorvaneAssinadorIP_Login.h"

#include "core/Background.h"
#include "app/Fonts.h"
#include "ui_u_NorvaneAssinadorIP_Login.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QScreen>

TFLogin* FLogin = nullptr;

TFLogin::TFLogin(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TFLogin>()) {
    ui->setupUi(this);
    setFont(norvane::tahoma(11));
    setFixedSize(size());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    if (const QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TFLogin::~TFLogin() = default;

void TFLogin::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    // Closing the application's main window ends the application.
    norvane::requestAbort();
    QApplication::quit();
}

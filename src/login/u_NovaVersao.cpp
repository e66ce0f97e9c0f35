#include "login/u_NovaVersao.h"

#include "core/Background.h"
#include "app/Fonts.h"
#include "ui_u_NovaVersao.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QScreen>

TFNovaVersao* FNovaVersao = nullptr;

TFNovaVersao::TFNovaVersao(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TFNovaVersao>()) {
    ui->setupUi(this);
    setFont(norvane::tahoma(11));
    setFixedSize(size());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
    setAttribute(Qt::WA_QuitOnClose, false);
    if (const QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TFNovaVersao::~TFNovaVersao() = default;

void TFNovaVersao::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    norvane::requestAbort();
    QApplication::quit();
}

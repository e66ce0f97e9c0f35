#pragma once
// The new-version window: downloads the installer, starts it and ends the program.

#include <QWidget>
#include <memory>

namespace Ui {
class TFNovaVersao;
}

class TFNovaVersao : public QWidget {
    Q_OBJECT
public:
    explicit TFNovaVersao(QWidget* parent = nullptr);
    ~TFNovaVersao() override;

    std::unique_ptr<Ui::TFNovaVersao> ui;

protected:
    void closeEvent(QCloseEvent* event) override;
};

extern TFNovaVersao* FNovaVersao;

#pragma once
// The "Assinatura em Lote" tab: the intake of an input folder's PDF files (listing and
// validation) and the batch that signs the accepted ones, zips and uploads each signature.

#include "certs/SigningSession.h"
#include "core/LoginContext.h"
#include "service/HttpClient.h"
#include "workflows/ActionLock.h"
#include "workflows/BatchIntake.h"

#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableWidget>

namespace norvane {

class BatchSigningTab {
public:
    struct Controls {
        QPushButton* Button1;  // input folder and intake
        QPushButton* Button2;  // output folder
        QPushButton* Button3;  // sign and upload
        QLabel* PastaEntrada;
        QLabel* PastaSaida;
        QTableWidget* ListView1;
        QLabel* Progresso;  // "n de N" while a batch runs
    };

    BatchSigningTab(const Controls& controls, const LoginContext& context, SigningSession& signing,
                    HttpClient& IdHTTP2, const ActionControls& actionControls);

    void Button1Click();
    void Button2Click();
    void Button3Click();

private:
    void intake();
    void batch();
    QString entryPath(const QLabel* folder, const QString& name) const;

    Controls ui_;
    const LoginContext& context_;
    SigningSession& signing_;
    HttpClient& http_;
    const ActionControls& actionControls_;
};

}  // namespace norvane

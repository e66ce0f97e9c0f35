#pragma once
// The "Assinatura em Lote" tab: the intake of an input folder's PDF files (listing and
// validation) and the batch that signs the accepted ones, zips and uploads each signature.

#include "certs/SigningSession.h"
#include "core/LoginContext.h"
#include "engine/RowEngine.h"
#include "engine/RowModel.h"
#include "service/HttpClient.h"
#include "tabs/ActionLock.h"
#include "engine/BatchIntake.h"

#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableView>

namespace norvane {

class BatchSigningTab : private RowObserver {
public:
    struct Controls {
        QPushButton* Button1;  // input folder and intake
        QPushButton* Button2;  // output folder
        QPushButton* Button3;  // sign and upload
        QLabel* PastaEntrada;
        QLabel* PastaSaida;
        QTableView* ListView1;
        QLabel* Progresso;  // "n de N" while a batch runs
    };

    BatchSigningTab(const Controls& controls, const LoginContext& context, SigningSession& signing,
                    HttpClient& IdHTTP2, const ActionControls& actionControls);
    ~BatchSigningTab() override;

    void Button1Click();
    void Button2Click();
    void Button3Click();

    // The grid's rows, and the engine that runs them.
    RowModel& rows() const { return *rows_; }
    RowEngine& engine() { return engine_; }

private:
    void intake();
    void rowReached(int row) override;
    void runEnded(const RunEnd& end) override;

    Controls ui_;
    const LoginContext& context_;
    SigningSession& signing_;
    HttpClient& http_;
    const ActionControls& actionControls_;
    RowModel* rows_;  // owned by the grid
    RowEngine engine_;
};

}  // namespace norvane

#pragma once
// The "IP's da Digitação Manual" tab: the instruments typed into the service by hand that
// wait for a signature are fetched into a grid, written into a save folder, signed and
// their signatures sent back.

#include "certs/SigningSession.h"
#include "core/LoginContext.h"
#include "engine/ManualRows.h"
#include "engine/RowEngine.h"
#include "engine/RowModel.h"
#include "service/HttpClient.h"
#include "tabs/ActionLock.h"

#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableView>

namespace norvane {

// Columns of ListView2.
enum ManualColumn { kManualId = 0, kManualChave = 1, kManualStatus = 2, kManualObservacao = 3, kManualPdf = 4 };

class ManualInstrumentsTab : private RowObserver {
public:
    struct Controls {
        QPushButton* Button6;   // save folder
        QPushButton* Button5;   // consultation
        QPushButton* Button4;   // sign and send
        QLabel* PastaGravacao;  // the save folder
        QTableView* ListView2;
    };

    // `consultation` is IdHTTP3, `upload` IdHTTP2.
    ManualInstrumentsTab(const Controls& controls, const LoginContext& context, SigningSession& signing,
                         HttpClient& consultation, HttpClient& upload, const ActionControls& actionControls);
    ~ManualInstrumentsTab() override;

    static QStringList columnCaptions();

    void Button6Click();
    void Button5Click() { pegaIPDigitacaoManual(); }
    void pegaIPDigitacaoManual();
    void Button4Click();

    // The grid's rows, and the engine that runs them.
    RowModel& rows() const { return *rows_; }
    RowEngine& engine() { return engine_; }

private:
    void addRow(const QString& id, const QString& key, const QByteArray& pdf);
    void rowReached(int row) override;

    Controls ui_;
    const LoginContext& context_;
    SigningSession& signing_;
    HttpClient& consultation_;
    HttpClient& upload_;
    const ActionControls& actionControls_;
    RowModel* rows_;  // owned by the grid
    RowEngine engine_;
};

}  // namespace norvane

#pragma once
// The "IP's da Digitação Manual" tab: the instruments typed into the service by hand that
// wait for a signature are fetched into a grid, written into a save folder, signed and
// their signatures sent back.

#include "certs/SigningSession.h"
#include "core/LoginContext.h"
#include "service/Form.h"
#include "service/HttpClient.h"
#include "workflows/ActionLock.h"

#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableWidget>

namespace norvane {

// Why an instrument key cannot name the files of the save folder (empty, a path separator,
// "." or "..", a control character, broken UTF-16, too long for a file name), as the row's
// Observação naming the key; the empty text when the key is fit.
QString invalidKeyText(const QString& key);

// Columns of ListView2.
enum ManualColumn { kManualId = 0, kManualChave = 1, kManualStatus = 2, kManualObservacao = 3, kManualPdf = 4 };

class ManualInstrumentsTab {
public:
    struct Controls {
        QPushButton* Button6;   // save folder
        QPushButton* Button5;   // consultation
        QPushButton* Button4;   // sign and send
        QLabel* PastaGravacao;  // the save folder
        QTableWidget* ListView2;
    };

    // `consultation` is IdHTTP3, `upload` IdHTTP2.
    ManualInstrumentsTab(const Controls& controls, const LoginContext& context, SigningSession& signing,
                         HttpClient& consultation, HttpClient& upload, const ActionControls& actionControls);

    static QStringList columnCaptions();

    void Button6Click();
    void Button5Click() { pegaIPDigitacaoManual(); }
    void pegaIPDigitacaoManual();
    void Button4Click();

private:
    void addRow(const QString& id, const QString& key, const QString& pdf);
    void showRow(int row);
    // Signs and sends one row; false when the run must end here (the reason already shown).
    bool signRow(int row, const QString& folder, FieldList& fields);

    Controls ui_;
    const LoginContext& context_;
    SigningSession& signing_;
    HttpClient& consultation_;
    HttpClient& upload_;
    const ActionControls& actionControls_;
};

}  // namespace norvane

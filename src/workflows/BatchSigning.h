#pragma once
// The "Assinatura em Lote" tab: the intake of an input folder's PDF files (listing and
// validation) and the batch that signs the accepted ones, zips and uploads each signature.

#include "certs/SigningSession.h"
#include "core/LoginContext.h"
#include "engine/RowEngine.h"
#include "engine/RowModel.h"
#include "service/HttpClient.h"
#include "workflows/ActionLock.h"

#include <QByteArray>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableView>
#include <stdexcept>

namespace norvane {

// A name read from the folder that cannot be shown or opened again as text (not UTF-8).
class FileNameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Names (no folder part) of the plain files of the folder sPasta (ending with its separator)
// that match the wildcard Extensao without regard to case; folders and hidden files (names
// beginning with ".") left out. Sorted by name without regard to case, ties by exact name.
// A folder that does not exist gives an empty list. A name that is not valid UTF-8 raises
// FileNameError naming it: it could not be opened again by the name shown.
QStringList listarArquivosDaPasta(const QString& sPasta, const QString& Extensao);

// What the content tests look for in a file's raw bytes.
struct ContentMarks {
    bool manual = false;    // {"manual":"1"}
    bool pdfa = false;      // pdfa
    bool keywords = false;  // Keywords
};

// Opens the file for reading without sharing and searches its bytes (in blocks, never the
// whole file in memory). Raises the file-open error when the file cannot be opened, or when
// another process holds it open for writing or locked.
ContentMarks readContentMarks(const QString& path);
// The same search over bytes already in memory.
ContentMarks contentMarks(const QByteArray& bytes);

// The six tests in their order: the Observação of the first that fails, or the empty text.
QString intakeObservation(const ContentMarks& marks, const QString& name, const QString& cd_ibge,
                          const QString& nr_cartorio);

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

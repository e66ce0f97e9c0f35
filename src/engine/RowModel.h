#pragma once
// The rows of a grid: what each row shows and what a run needs to take it up. The batch
// tab's grid (ListView1) and the manual tab's (ListView2) are views of one of these.

#include "engine/RowStatus.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

namespace norvane {

// The columns a grid can show, by what they hold.
enum class RowColumn { Arquivo, Tamanho, Id, Chave, Status, Observacao, Pdf };

struct RowRecord {
    // Batch: the input file's name (extension included, no folder) and its size text.
    QString file;
    QString size;
    qint64 sizeBytes = -1;  // the size the intake listed, or the size of the bytes signed; -1: unknown
    // The instrument key: manual, as the service sent it; batch, the one the intake read
    // from the file's name (sent as nm_chave).
    QString key;
    // Manual: the instrument's ID and its PDF in Base64 as the service sent it.
    QString id;
    QByteArray pdfBase64;
    // None: the intake ended before this row was tested (the row has no such cells).
    std::optional<RowStatus> status;
    std::optional<QString> observation;
    // What the last signature of the row wrote: the .p7s, and the SHA-256 of the bytes
    // signed and of the .p7s.
    QString signaturePath;
    QByteArray inputSha256;
    QByteArray signatureSha256;
    // When the row was sent (this run, or as the output folder's journal records it).
    QDateTime sentAt;
};

class RowModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Kind {
        Batch,   // Arquivo, Tamanho, Status, Observação
        Manual,  // ID, Chave Única, Status, Observação, PDF
    };
    explicit RowModel(Kind kind, QObject* parent = nullptr);

    Kind kind() const { return kind_; }
    // The column that shows it, or -1.
    int columnOf(RowColumn column) const;
    static QString caption(RowColumn column);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // The cell's text; nothing for a cell the row does not have.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const RowRecord& row(int r) const { return rows_.at(size_t(r)); }
    const std::vector<RowRecord>& rows() const { return rows_; }
    void clear();
    // Adds a row at the end; its index.
    int append(RowRecord record);
    // Replaces a row: the views repaint it.
    void replace(int r, RowRecord record);
    void setStatus(int r, RowStatus status);
    void setObservation(int r, const QString& observation);
    // What the row's last signature wrote (not shown).
    void setSignature(int r, const QString& signaturePath, const QByteArray& inputSha256,
                      const QByteArray& signatureSha256);
    void setSent(int r, const QDateTime& when);
    // The batch file's size, as its bytes signed have it.
    void setSize(int r, qint64 bytes);

private:
    void rowChanged(int r);

    Kind kind_;
    std::vector<RowColumn> columns_;
    std::vector<RowRecord> rows_;
};

}  // namespace norvane

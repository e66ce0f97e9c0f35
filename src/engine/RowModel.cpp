#include "engine/RowModel.h"

#include "engine/RowRules.h"

namespace norvane {

RowModel::RowModel(Kind kind, QObject* parent) : QAbstractTableModel(parent), kind_(kind) {
    if (kind == Kind::Batch)
        columns_ = {RowColumn::Arquivo, RowColumn::Tamanho, RowColumn::Status, RowColumn::Observacao};
    else
        columns_ = {RowColumn::Id, RowColumn::Chave, RowColumn::Status, RowColumn::Observacao, RowColumn::Pdf};
}

int RowModel::columnOf(RowColumn column) const {
    for (size_t i = 0; i < columns_.size(); ++i)
        if (columns_[i] == column) return int(i);
    return -1;
}

QString RowModel::caption(RowColumn column) {
    switch (column) {
        case RowColumn::Arquivo: return QStringLiteral("Arquivo");
        case RowColumn::Tamanho: return QStringLiteral("Tamanho");
        case RowColumn::Id: return QStringLiteral("ID");
        case RowColumn::Chave: return QStringLiteral("Chave Única");
        case RowColumn::Status: return QStringLiteral("Status");
        case RowColumn::Observacao: return QStringLiteral("Observação");
        case RowColumn::Pdf: return QStringLiteral("PDF");
    }
    return QString();
}

int RowModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_.size()); }

int RowModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(columns_.size()); }

QVariant RowModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= int(rows_.size()) ||
        index.column() >= int(columns_.size()))
        return QVariant();
    const RowRecord& record = rows_[size_t(index.row())];
    switch (columns_[size_t(index.column())]) {
        case RowColumn::Arquivo: return record.file;
        case RowColumn::Tamanho: return record.size;
        case RowColumn::Id: return record.id;
        case RowColumn::Chave: return record.key;
        case RowColumn::Status: return record.status ? QVariant(statusText(*record.status)) : QVariant();
        case RowColumn::Observacao: return record.observation ? QVariant(*record.observation) : QVariant();
        case RowColumn::Pdf: return QString::fromLatin1(record.pdfBase64);
    }
    return QVariant();
}

QVariant RowModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= int(columns_.size()))
        return QAbstractTableModel::headerData(section, orientation, role);
    return caption(columns_[size_t(section)]);
}

void RowModel::clear() {
    if (rows_.empty()) return;
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    endResetModel();
}

int RowModel::append(RowRecord record) {
    const int r = int(rows_.size());
    beginInsertRows(QModelIndex(), r, r);
    rows_.push_back(std::move(record));
    endInsertRows();
    return r;
}

void RowModel::replace(int r, RowRecord record) {
    rows_.at(size_t(r)) = std::move(record);
    rowChanged(r);
}

void RowModel::setStatus(int r, RowStatus status) {
    rows_.at(size_t(r)).status = status;
    const int column = columnOf(RowColumn::Status);
    emit dataChanged(index(r, column), index(r, column), {Qt::DisplayRole});
}

void RowModel::setObservation(int r, const QString& observation) {
    rows_.at(size_t(r)).observation = observation;
    const int column = columnOf(RowColumn::Observacao);
    emit dataChanged(index(r, column), index(r, column), {Qt::DisplayRole});
}

void RowModel::setSignature(int r, const QString& signaturePath, const QByteArray& inputSha256,
                            const QByteArray& signatureSha256) {
    RowRecord& record = rows_.at(size_t(r));
    record.signaturePath = signaturePath;
    record.inputSha256 = inputSha256;
    record.signatureSha256 = signatureSha256;
}

void RowModel::setSent(int r, const QDateTime& when) { rows_.at(size_t(r)).sentAt = when; }

void RowModel::setSize(int r, qint64 bytes) {
    RowRecord& row = rows_.at(size_t(r));
    if (row.sizeBytes == bytes) return;
    row.sizeBytes = bytes;
    row.size = sizeText(bytes);
    rowChanged(r);
}

void RowModel::rowChanged(int r) {
    emit dataChanged(index(r, 0), index(r, columnCount() - 1), {Qt::DisplayRole});
}

}  // namespace norvane

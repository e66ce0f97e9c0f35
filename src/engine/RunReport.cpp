#include "engine/RunReport.h"

#include "core/Environment.h"
#include "core/Error.h"
#include "core/SystemErrors.h"
#include "engine/RowRules.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

namespace {

// A cell a spreadsheet would take for a formula (or whose first character it would drop) is
// written as text: an apostrophe before it, and quoted.
bool formulaLike(const QByteArray& bytes) {
    return !bytes.isEmpty() && QByteArrayView("=+-@\t\r").contains(bytes.front());
}

QByteArray field(const QString& text) {
    QByteArray bytes = text.toUtf8();
    const bool formula = formulaLike(bytes);
    if (formula) bytes.prepend('\'');
    if (formula || bytes.contains(';') || bytes.contains('"') || bytes.contains('\n') || bytes.contains('\r')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

QByteArray line(const QStringList& fields) {
    QByteArray out;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i) out += ';';
        out += field(fields[i]);
    }
    return out + "\r\n";
}

QString hex(const QByteArray& digest) { return QString::fromLatin1(digest.toHex()); }

// Renames without ever replacing a file; false when the name is taken.
bool renameNew(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without that rename: a hard link is made only where no name is.
    if (::link(from.constData(), to.constData()) != 0) return false;
    ::unlink(from.constData());
    return true;
}

}  // namespace

RunReport::RunReport(const RowModel& model, const LoginContext& context, QString folder)
    : model_(model), context_(context), folder_(std::move(folder)) {}

QByteArray RunReport::text() const {
    const bool manual = model_.kind() == RowModel::Kind::Manual;
    QByteArray out = "\xEF\xBB\xBF";
    out += line({manual ? QStringLiteral("ID") : QStringLiteral("Arquivo"), QStringLiteral("Chave"), QStringLiteral("Tamanho"),
                 QStringLiteral("SHA-256 do PDF"), QStringLiteral("SHA-256 do .p7s"), QStringLiteral("Status"),
                 QStringLiteral("Observação"), QStringLiteral("Assinante"), QStringLiteral("Cartório"),
                 QStringLiteral("Ambiente"), QStringLiteral("Data e hora do envio")});
    const QString signer = context_.nm_nr_cpf.isEmpty()
                               ? context_.Certificado_Nome
                               : QStringLiteral("%1 (CPF %2)").arg(context_.Certificado_Nome, context_.nm_nr_cpf);
    QString office = QStringLiteral("(%1) %2").arg(context_.nr_cartorio, context_.nm_cartorio).trimmed();
    office += QStringLiteral(" - IBGE %1").arg(context_.cd_ibge);
    const QString environment = environmentLabel(context_.Ambiente);
    for (const RowRecord& row : model_.rows()) {
        // The manual grid shows no size: the PDF's, as the batch grid writes it.
        const QString size = manual ? sizeText(QByteArray::fromBase64(row.pdfBase64).size()) : row.size;
        const bool sent = row.status == RowStatus::Sent && row.sentAt.isValid();
        const QString status = row.status ? statusText(*row.status) : QString();
        out += line({manual ? row.id : row.file, row.key, size, hex(row.inputSha256), hex(row.signatureSha256), status,
                     row.observation.value_or(QString()), signer, office, environment,
                     sent ? row.sentAt.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")) : QString()});
    }
    return out;
}

QString RunReport::write(const QDateTime& when) const {
    const QString stem = folder_ + QDir::separator() + QStringLiteral("relatorio-") +
                         when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const auto failed = [&](const QString& reason) {
        return Error(ErrorKind::FileError,
                     QStringLiteral("Não foi possível gravar o relatório do lote na pasta %1: %2").arg(folder_, reason));
    };
    QTemporaryFile file(folder_ + QDir::separator() + QStringLiteral(".relatorio-XXXXXX.tmp"));
    if (!file.open()) throw failed(fileErrorText(file, errno));
    const QByteArray bytes = text();
    // Readable as the folder's other files are (a temporary file is the owner's only).
    ::fchmod(file.handle(), 0644);
    if (file.write(bytes) != bytes.size() || !file.flush() || ::fdatasync(file.handle()) != 0)
        throw failed(fileErrorText(file, errno));
    const QByteArray from = QFile::encodeName(file.fileName());
    for (int n = 1; n < 1000; ++n) {
        const QString name = stem + (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) + QStringLiteral(".csv");
        if (renameNew(from, QFile::encodeName(name))) {
            file.setAutoRemove(false);
            return name;
        }
        if (errno != EEXIST) throw failed(systemErrorText(errno));
    }
    throw failed(QStringLiteral("há relatórios demais com o mesmo horário"));
}

}  // namespace norvane

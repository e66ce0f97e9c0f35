#include "cli/BatchOptions.h"

#include "cli/BatchCommand.h"
#include "core/Environment.h"
#include "engine/OutputFolderEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>

namespace norvane {

namespace {

// The bytes as text when they are valid UTF-8; nullopt otherwise.
std::optional<QString> strictUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) return std::nullopt;
    return text;
}

// The bytes as they can be shown: valid UTF-8 as its text; otherwise printable ASCII as it
// is and any other byte as \xNN.
QString shown(const QByteArray& bytes) {
    if (const std::optional<QString> utf8 = strictUtf8(bytes)) return *utf8;
    QString text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

struct ValueOption {
    const char* name;
    QString BatchOptions::*into;
    const char* wants;
};

const ValueOption kValueOptions[] = {
    {"--cartorio", &BatchOptions::office, "--cartorio pede o número do cartório"},
    {"--certificado", &BatchOptions::thumbprint, "--certificado pede a impressão digital do certificado"},
};

// The two folders must be different places, the output not inside the input: the
// signatures of one run would otherwise land among the PDFs of the next.
QString checkFolders(const BatchOptions& options) {
    const QString input = QFileInfo(options.input).canonicalFilePath();
    const QString output = QFileInfo(options.output).canonicalFilePath();
    if (input.isEmpty() || output.isEmpty()) return QStringLiteral("pasta não encontrada");
    if (input == output)
        return QStringLiteral("a pasta de saída é a própria pasta de entrada (%1); escolha outra pasta de saída")
            .arg(output);
    if (output.startsWith(input == QLatin1String("/") ? input : input + QLatin1Char('/')))
        return QStringLiteral("a pasta de saída (%1) fica dentro da pasta de entrada (%2); escolha outra pasta "
                              "de saída")
            .arg(output, input);
    return {};
}

}  // namespace

QString parseBatchOptions(const std::vector<QByteArray>& arguments, BatchOptions& options) {
    if (arguments.empty() || arguments.front() != kBatchOption)
        return QStringLiteral("opção desconhecida: ") + (arguments.empty() ? QString() : shown(arguments.front()));
    std::vector<QByteArray> positional;
    QSet<QByteArray> seen;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const QByteArray& a = arguments[i];
        const QByteArray name = a.startsWith("--") ? a.left(a.indexOf('=') < 0 ? a.size() : a.indexOf('=')) : a;
        if (a.startsWith("--") && seen.contains(name)) return QStringLiteral("opção repetida: ") + shown(name);
        if (a.startsWith("--")) seen.insert(name);
        if (a == "--homologacao") {
            options.homologation = true;
            continue;
        }
        if (a == "--json") {
            options.json = true;
            continue;
        }
        const ValueOption* option = nullptr;
        for (const ValueOption& each : kValueOptions)
            if (name == each.name) option = &each;
        if (option) {
            QByteArray value;
            if (a.size() > name.size())
                value = a.mid(name.size() + 1);
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            const std::optional<QString> text = strictUtf8(value);
            // "--cartorio --json": the value is missing, not "--json".
            if (value.isEmpty() || value.startsWith('-') || !text) return QString::fromUtf8(option->wants);
            options.*(option->into) = *text;
        } else if (a.startsWith("--")) {
            return QStringLiteral("opção desconhecida: ") + shown(a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) return QStringLiteral("--lote pede a pasta de entrada e a pasta de saída");
    QString folders[2];
    for (size_t i = 0; i < 2; ++i) {
        const std::optional<QString> text = strictUtf8(positional[i]);
        if (!text)
            return QStringLiteral("o nome da pasta não é texto UTF-8 válido: ") + shown(positional[i]);
        if (!QFileInfo(*text).isDir()) return QStringLiteral("pasta não encontrada: ") + *text;
        folders[i] = QDir::cleanPath(QFileInfo(*text).absoluteFilePath());
    }
    options.input = folders[0];
    options.output = folders[1];
    if (const QString wrong = checkFolders(options); !wrong.isEmpty()) return wrong;
    const QString ambiente = options.homologation ? kHomologacao : kProducao;
    if (const auto other = otherEnvironmentSent(options.output, ambiente))
        return otherEnvironmentText(options.output, *other, ambiente);
    return {};
}

}  // namespace norvane

#include "cli/VerifyCommand.h"

#include "certs/cms/Verification.h"

#include <QCoreApplication>
#include <QString>
#include <cstdio>

namespace norvane {

int runVerifyCommand(int argc, char** argv) {
    // No display is needed: the check uses no window.
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(2);
    if (arguments.isEmpty() || arguments.size() > 2) {
        std::fputs("Uso: NorvaneAssinadorIP --verificar ARQUIVO.p7s [DOCUMENTO]\n"
                   "Verifica a assinatura do arquivo; com DOCUMENTO, confere também que ele é o documento assinado.\n"
                   "Código de saída: 0 assinatura válida, 1 inválida, 2 arquivo que não pôde ser lido como "
                   "assinatura.\n",
                   stderr);
        return 2;
    }
    const cms::VerificationResult result =
        cms::verifySignatureFile(arguments.at(0), arguments.size() > 1 ? arguments.at(1) : QString());
    const QByteArray text = cms::verificationText(result).toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
    return cms::exitCodeOf(result.verdict);
}

}  // namespace norvane

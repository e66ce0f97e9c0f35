#include "app/Application.h"

#include "core/Dialogs.h"
#include "app/ErrorReport.h"
#include "app/SingleInstance.h"
#include "app/u_Principal.h"
#include "login/u_NorvaneAssinadorIP_Login.h"
#include "login/u_NovaVersao.h"

#include "app/SignatureCheck.h"

#include <QByteArray>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTranslator>
#include <QMessageBox>
#include <cstdio>
#include <memory>

namespace norvane {

void wireLogin(TFLogin& login, TFPrincipal& principal) {
    login.useSession(principal.Signing, principal);
    QObject::connect(&login, &TFLogin::loggedIn, &principal,
                     [&principal](const LoginContext& context) { principal.enterWithLogin(context); });
}

bool displayAvailable() {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    // The command as this copy is reached: by its name when the PATH finds this very
    // program (the installed package), else by its own path.
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("NorvaneAssinadorIP"));
    const QString command =
        !self.isEmpty() && QFileInfo(onPath).canonicalFilePath() == self ? QStringLiteral("NorvaneAssinadorIP")
        : self.isEmpty()                                                 ? QStringLiteral("NorvaneAssinadorIP")
                                                                         : self;
    const QByteArray text = QStringLiteral("NorvaneAssinadorIP: nenhuma tela gráfica disponível (DISPLAY não definido).\n"
                                           "Execute-o numa sessão gráfica, ou num servidor X virtual (pacote xvfb):\n"
                                           "    xvfb-run -a %1\n"
                                           "Sem janela: %1 --help mostra o lote, a verificação e o diagnóstico.\n")
                                .arg(command)
                                .toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    return false;
}

void loadQtTranslations() {
    // Every text of ours is Brazilian Portuguese: Qt's own texts are too, whatever the desktop's language.
    auto* translator = new QTranslator(qApp);
    if (translator->load(QStringLiteral("qtbase_pt_BR"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
    else
        delete translator;  // not installed: Qt's own English texts
}

int runSignatureCheck(int argc, char** argv, const QString& file) {
    NorvaneApplication app(argc, argv);
    loadQtTranslations();
    checkSignatureAction(nullptr, ActionControls{}, QFileInfo(file).absoluteFilePath());
    return 0;
}

int runApplication(int argc, char** argv) {
    const LockResult lock = acquireSingleInstanceLock(QString::fromLatin1(kSingleInstanceName));

    NorvaneApplication app(argc, argv);
    loadQtTranslations();
    app.setQuitOnLastWindowClosed(false);  // the windows' close handlers decide when to end

    if (lock == LockResult::AlreadyRunning) {
        dialogs().showError(QStringLiteral("Não é permitido rodar mais de uma instância do programa"),
                            QStringLiteral("Programa em execução"));
        return 0;
    }
    // A lock that cannot be taken at all does not stop the start-up.

    auto login = std::make_unique<TFLogin>();
    FLogin = login.get();
    auto principal = std::make_unique<TFPrincipal>();
    FPrincipal = principal.get();
    auto novaVersao = std::make_unique<TFNovaVersao>();
    FNovaVersao = novaVersao.get();
    wireLogin(*login, *principal);

    FLogin->show();
    const int code = app.exec();

    FNovaVersao = nullptr;
    FPrincipal = nullptr;
    FLogin = nullptr;
    return code;
}

}  // namespace norvane

#include "app/Application.h"

#include "core/Dialogs.h"
#include "app/ErrorReport.h"
#include "app/SingleInstance.h"
#include "app/u_Principal.h"
#include "login/u_NorvaneAssinadorIP_Login.h"
#include "login/u_NovaVersao.h"

#include <QByteArray>
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
    std::fputs("NorvaneAssinadorIP: nenhuma tela gráfica disponível (DISPLAY não definido).\n"
               "Execute-o numa sessão gráfica, ou num servidor X virtual:\n"
               "    xvfb-run -a ./NorvaneAssinadorIP\n",
               stderr);
    return false;
}

int runApplication(int argc, char** argv) {
    const LockResult lock = acquireSingleInstanceLock(QString::fromLatin1(kSingleInstanceName));

    NorvaneApplication app(argc, argv);
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

#include "cli/BatchCommand.h"

#include "cli/BatchOptions.h"

#include "certs/CAPICOM_TLB.h"
#include "certs/SigningSession.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Background.h"
#include "core/Environment.h"
#include "core/ErrorText.h"
#include "core/u_global.h"
#include "engine/BatchRows.h"
#include "engine/RowEngine.h"
#include "engine/RowModel.h"
#include "engine/RowStatus.h"
#include "engine/RunRows.h"
#include "service/HttpClient.h"
#include "engine/BatchIntake.h"
#include "cli/BatchProgress.h"
#include "workflows/Login.h"
#include "cli/TerminalDialogs.h"
#include "workflows/VersionCheck.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace norvane {

namespace {

const char kSynopsis[] =
    "Uso: NorvaneAssinadorIP --lote ENTRADA SAIDA [--homologacao] [--cartorio NN]\n"
    "                        [--certificado IMPRESSAO_DIGITAL] [--json]\n"
    "     NorvaneAssinadorIP --help | --versao\n";
const char kUsage[] =
    "\n"
    "Assina os PDF/A de protesto da pasta ENTRADA, grava as assinaturas (.p7s) na pasta SAIDA\n"
    "e as envia à Norvane, como a aba \"Assinatura em Lote\", sem janela.\n"
    "\n"
    "  --homologacao     usa o ambiente de homologação (o padrão é produção)\n"
    "  --cartorio NN     o cartório, pelo número, quando o login lista mais de um\n"
    "  --certificado X   o certificado, pela impressão digital (SHA-1), quando há mais de um\n"
    "  --json            um objeto JSON por evento de cada arquivo e o resumo, na saída padrão\n"
    "\n"
    "O PIN é pedido no terminal (sem eco) ou no teclado do leitor; nunca por argumento.\n"
    "Códigos de saída: 0 todos os arquivos aceitos enviados; 1 algum arquivo com \"Erro\" ou não\n"
    "enviado; 2 um erro encerrou o lote; 3 login recusado ou cancelado; 4 outra instância do\n"
    "programa em execução; 5 o serviço indica outra versão; 64 argumentos errados ou uma escolha\n"
    "necessária (--certificado, --cartorio); 130 interrompido (Ctrl-C).\n";

int usageError(const QString& why) {
    printError(QStringLiteral("NorvaneAssinadorIP: ") + why);
    std::fputs(kSynopsis, stderr);
    return kExitUsage;
}

// The thumbprint as CAPICOM writes it: upper-case hex, nothing between the pairs.
QString plainThumbprint(QString text) {
    text.remove(QLatin1Char(':')).remove(QLatin1Char(' '));
    return text.toUpper();
}

// --- Ctrl-C and SIGTERM: the program's quit path ---------------------------------------

int signalPipe[2] = {-1, -1};

extern "C" void onQuitSignal(int signal) {
    if (abortRequested()) {  // the second one ends the process at once
        std::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    requestAbort();
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// Turns the signal into the application's quit on its own thread: every running loop
// ends, the engine stops its stages after their current step and raises Aborted.
void watchQuitSignals(QCoreApplication& app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        QCoreApplication::exit(kExitInterrupted);
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    // The terminal closed (SIGHUP) ends the run the same way; a signal the caller chose to
    // ignore (nohup, a background job) stays ignored.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

void throwIfQuitting() {
    if (abortRequested()) throw Aborted();
}

// --- the steps ----------------------------------------------------------------------------

// The certificates the login's pick list offers, in its order.
std::vector<CAPICOM_TLB::CertificatePtr> offeredCertificates() {
    using namespace CAPICOM_TLB;
    const auto certificates = SigningSession::offeredCertificates();
    std::vector<CertificatePtr> items;
    for (long i = 1; i <= certificates->Count(); ++i) items.push_back(certificates->Item(i));
    return items;
}

void listCertificates(const std::vector<CAPICOM_TLB::CertificatePtr>& items) {
    using namespace CAPICOM_TLB;
    printError(QStringLiteral("Certificados disponíveis (use --certificado IMPRESSAO_DIGITAL):"));
    for (const CertificatePtr& c : items)
        printError(QStringLiteral("  %1  %2 (emitido por %3, válido até %4)")
                       .arg(c->Thumbprint(), c->GetInfo(CAPICOM_INFO_SUBJECT_SIMPLE_NAME),
                            c->GetInfo(CAPICOM_INFO_ISSUER_SIMPLE_NAME),
                            c->ValidToDate().toLocalTime().toString(QStringLiteral("dd/MM/yyyy"))));
}

bool sameOffice(const QString& numero, const QString& wanted) {
    if (numero == wanted) return true;
    bool a = false, b = false;
    const qint64 x = numero.toLongLong(&a), y = wanted.toLongLong(&b);
    return a && b && x == y;
}

void listOffices(const std::vector<Office>& offices) {
    printError(QStringLiteral("Cartórios deste usuário (use --cartorio NN):"));
    for (const Office& office : offices) printError(QStringLiteral("  ") + office.caption);
}

// The intake of the batch tab. A file that cannot be read ends the intake at its row, which
// keeps no status (the run then ends there); the error is shown and the rows before it still run.
void intake(RowModel& model, const QString& inputFolder, const LoginContext& context) {
    if (const std::exception_ptr failure = intakeFolder(model, inputFolder, context)) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            dialogs().showError(errorText(error));
        }
    }
}

struct Counts {
    int rows = 0, sent = 0, errors = 0, pending = 0;
};

Counts countRows(const RowModel& model) {
    Counts counts;
    counts.rows = model.rowCount();
    for (const RowRecord& row : model.rows()) {
        if (row.status == RowStatus::Sent)
            ++counts.sent;
        else if (row.status == RowStatus::Error)
            ++counts.errors;
        else
            ++counts.pending;
    }
    return counts;
}

class BatchCommand {
public:
    explicit BatchCommand(BatchOptions options) : o_(std::move(options)) {}

    int run() {
        int code = kExitBatchError;
        try {
            code = steps();
        } catch (const Aborted&) {
            printError(QStringLiteral("Interrompido: o lote parou; os arquivos já gravados estão inteiros."));
            code = kExitInterrupted;
        } catch (const std::exception& error) {
            dialogs().showError(errorText(error));
            code = phase_ == Phase::Login ? kExitLoginFailed : kExitBatchError;
        }
        if (o_.json) summary(code);
        return code;
    }

private:
    enum class Phase { Login, Batch };

    // The steps in their order; each returns the exit code when the run stops there.
    int steps() {
        if (const auto stop = checkVersion()) return *stop;
        throwIfQuitting();
        if (const auto stop = pickCertificate()) return *stop;
        // The login window's steps: the pick, the type and CPF checks, the key test (the
        // PIN), the service's login call and its offices.
        SigningSession signing(context_);
        if (const auto stop = logIn(signing)) return *stop;
        return runBatch(signing);
    }

    // The version check, as the login window makes it when it is shown: against production,
    // and an error of the call ends the check only.
    std::optional<int> checkVersion() {
        const QString running =
            GetFileVersionText(QCoreApplication::applicationFilePath(), QStringLiteral("%d.%d.%d"));
        try {
            if (const auto other = otherServiceVersion(http_, kProducao, environmentBaseUrl(kProducao), running)) {
                printError(QStringLiteral("O serviço indica a versão %1 do programa; esta é a %2. Atualize o "
                                          "programa (abra-o sem --lote para baixar a nova versão).")
                               .arg(*other, running));
                return kExitOtherVersion;
            }
        } catch (const std::exception& error) {
            printError(QStringLiteral("Aviso: a versão não pôde ser conferida: ") + errorText(error));
        }
        return std::nullopt;
    }

    // The certificate, by --certificado or as the only one offered; the pick list's answer.
    std::optional<int> pickCertificate() {
        const auto offered = offeredCertificates();
        throwIfQuitting();
        std::optional<int> pick;
        if (offered.empty() && !tokens::anyTokenConnected()) {
            printError(noTokenText() + QStringLiteral(" (NorvaneAssinadorIP --diagnostico mostra o que o programa vê)."));
            return kExitLoginFailed;
        }
        if (offered.empty()) {
            printError(QStringLiteral("Nenhum certificado digital válido foi encontrado. Verifique se o cartão ou "
                                      "token USB do certificado está conectado ao computador (NorvaneAssinadorIP "
                                      "--diagnostico mostra o que o programa vê)."));
            return kExitLoginFailed;
        }
        if (!o_.thumbprint.isEmpty()) {
            const QString wanted = plainThumbprint(o_.thumbprint);
            for (size_t i = 0; i < offered.size(); ++i)
                if (offered[i]->Thumbprint().toUpper() == wanted) pick = int(i);
            if (!pick) {
                printError(QStringLiteral("Certificado não encontrado entre os válidos: ") + o_.thumbprint);
                listCertificates(offered);
                return kExitUsage;
            }
        } else if (offered.size() > 1) {
            printError(QStringLiteral("Há %1 certificados; escolha um.").arg(offered.size()));
            listCertificates(offered);
            return kExitUsage;
        } else {
            pick = 0;
        }
        terminal_.setCertificatePick(pick, int(offered.size()));
        return std::nullopt;
    }

    // The login and the office, by --cartorio or as the only one the login lists.
    std::optional<int> logIn(SigningSession& signing) {
        const QString ambiente = o_.homologation ? kHomologacao : kProducao;
        const auto login = loginWithCertificate(signing, context_, http_, {ambiente, environmentBaseUrl(ambiente)});
        throwIfQuitting();
        if (!login) return kExitLoginFailed;
        const Office* office = nullptr;
        if (login->offices.size() == 1 && o_.office.isEmpty()) {
            office = &login->offices.front();
        } else {
            for (const Office& each : login->offices)
                if (!o_.office.isEmpty() && sameOffice(each.numero, o_.office)) office = &each;
            if (!office) {
                printError(o_.office.isEmpty()
                               ? QStringLiteral("Este usuário tem %1 cartórios; escolha um.").arg(login->offices.size())
                               : QStringLiteral("Cartório não encontrado para este usuário: ") + o_.office);
                listOffices(login->offices);
                return kExitUsage;
            }
        }
        context_ = contextForOffice(login->context, *office);
        officeCaption_ = office->caption;
        printError(QStringLiteral("Usuário: %1 - Cartório: %2 - Ambiente: %3")
                       .arg(context_.Certificado_Nome, office->caption, environmentLabel(ambiente)));
        return std::nullopt;
    }

    // The intake, the batch tab's run and the last lines.
    int runBatch(SigningSession& signing) {
        phase_ = Phase::Batch;
        RowModel model(RowModel::Kind::Batch);
        intake(model, o_.input, context_);
        throwIfQuitting();

        RowEngine engine(model);
        BatchProgress progress(model, o_.json);
        engine.addObserver(&progress);
        // The batch tab's run: the output folder's journal leaves alone what it records as sent
        // and records every change; the report closes the run.
        const RunOutcome outcome = runBatchRows(engine, {context_, o_.input, o_.output}, signing, http2_);
        end_ = outcome.end;
        reportPath_ = outcome.reportPath;
        reportError_ = outcome.reportError;
        progress.tellTheRest();
        counts_ = countRows(model);

        const QString text =
            QStringLiteral("%1 arquivo(s): %2 enviado(s), %3 com erro, %4 não enviado(s).")
                .arg(counts_.rows)
                .arg(counts_.sent)
                .arg(counts_.errors)
                .arg(counts_.pending);
        if (!o_.json) {
            printOut((QStringLiteral("Lote %1: %2\n")
                          .arg(end_.completed ? QStringLiteral("finalizado")
                                              : QStringLiteral("interrompido por erro no arquivo %1")
                                                    .arg(end_.endedAt + 1),
                               text))
                         .toUtf8());
            if (!reportPath_.isEmpty()) printOut((QStringLiteral("Relatório: ") + reportPath_ + '\n').toUtf8());
        }
        if (!reportError_.isEmpty()) printError(reportError_);
        if (!end_.completed) return kExitBatchError;
        return counts_.sent == counts_.rows ? kExitAllSent : kExitRowsNotSent;
    }

    void summary(int code) {
        QJsonObject object;
        object.insert(QStringLiteral("evento"), QStringLiteral("resumo"));
        object.insert(QStringLiteral("codigo_saida"), code);
        object.insert(QStringLiteral("ambiente"), o_.homologation ? kHomologacao : kProducao);
        if (!officeCaption_.isEmpty()) object.insert(QStringLiteral("cartorio"), officeCaption_);
        if (phase_ == Phase::Batch) {
            object.insert(QStringLiteral("concluido"), end_.completed);
            if (!end_.completed && end_.endedAt >= 0) object.insert(QStringLiteral("linha_final"), end_.endedAt + 1);
            object.insert(QStringLiteral("arquivos"), counts_.rows);
            object.insert(QStringLiteral("enviados"), counts_.sent);
            object.insert(QStringLiteral("erros"), counts_.errors);
            object.insert(QStringLiteral("nao_enviados"), counts_.pending);
            if (!reportPath_.isEmpty()) object.insert(QStringLiteral("relatorio"), reportPath_);
            if (!reportError_.isEmpty()) object.insert(QStringLiteral("relatorio_erro"), reportError_);
        }
        printJson(object);
    }

public:
    TerminalDialogs terminal_;

private:
    BatchOptions o_;
    Phase phase_ = Phase::Login;
    LoginContext context_;
    HttpClient http_;   // the login's calls
    HttpClient http2_;  // the uploads
    RunEnd end_;
    Counts counts_;
    QString officeCaption_;
    QString reportPath_;
    QString reportError_;  // why no report was written
};

}  // namespace

bool isBatchCommand(int argc, char** argv) {
    return argc > 1 && (std::strcmp(argv[1], kBatchOption) == 0 || std::strcmp(argv[1], kHelpOption) == 0 ||
                        std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], kVersionOption) == 0);
}

int runBatchCommand(int argc, char** argv, const std::function<bool()>& takeInstanceLock) {
    // No display is needed: nothing here makes a window.
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.contains(QLatin1String(kHelpOption)) || arguments.contains(QLatin1String("-h"))) {
        std::fputs(kSynopsis, stdout);
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (arguments.value(0) == QLatin1String(kVersionOption)) {
        const QString version = GetFileVersionText(QCoreApplication::applicationFilePath(), QStringLiteral("%d.%d.%d.%d"));
        printOut((QStringLiteral("Norvane - Assinador de Instrumento de Protesto, versão ") + version + '\n').toUtf8());
        return 0;
    }
    // The arguments as the bytes given: a folder's name is not decoded by guess.
    BatchOptions options;
    if (const QString wrong = parseBatchOptions(std::vector<QByteArray>(argv + 1, argv + argc), options);
        !wrong.isEmpty())
        return usageError(wrong);
    if (!takeInstanceLock()) {
        printError(QStringLiteral("Não é permitido rodar mais de uma instância do programa: outra cópia do "
                                  "Norvane Assinador IP está em execução para este usuário (janela ou --lote)."));
        return kExitOtherInstance;
    }
    watchQuitSignals(app);
    BatchCommand command(std::move(options));
    setDefaultDialogs(&command.terminal_);
    const int code = command.run();
    setDefaultDialogs(nullptr);
    return code;
}

}  // namespace norvane

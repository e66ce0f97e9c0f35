// The command line as the program reads it: every mode in --help with its exit codes, an
// unknown or misplaced option refused with 64 and the usage, a .p7s opened with no login,
// the no-display message that names a command that works, and Qt's own texts in Portuguese.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "app/Application.h"
#include "cli/CommandLine.h"
#include "support/ProgramRun.h"

using namespace norvane;
using namespace norvane::test;

namespace {

// The program with no display; PATH as given (empty: the test's own).
ProgramRun run(const QStringList& arguments, const QString& path = QString()) {
    QProcessEnvironment extra;
    if (!path.isEmpty()) extra.insert("PATH", path);
    return runWithoutDisplay(arguments, extra);
}

}  // namespace

TEST(CommandLine, EachArgumentListChoosesOneModeOrIsRefused) {
    const auto command = [](const QStringList& arguments) { return chooseCommand(arguments).command; };
    EXPECT_EQ(command({}), Command::Window);
    EXPECT_EQ(command({"--lote", "a", "b", "--json"}), Command::Batch);
    EXPECT_EQ(command({"--versao"}), Command::Batch);
    EXPECT_EQ(command({"--verificar", "a.p7s"}), Command::Verify);
    EXPECT_EQ(command({"--diagnostico"}), Command::Diagnosis);
    EXPECT_EQ(command({"--help"}), Command::Help);
    EXPECT_EQ(command({"-h"}), Command::Help);
    const CommandChoice file = chooseCommand({"/tmp/a b.p7s"});
    EXPECT_EQ(file.command, Command::CheckSignature);
    EXPECT_EQ(file.file, "/tmp/a b.p7s");

    const auto refused = [](const QStringList& arguments) {
        const CommandChoice choice = chooseCommand(arguments);
        EXPECT_EQ(choice.command, Command::Refused) << arguments.join(' ').toStdString();
        return choice.problem;
    };
    EXPECT_EQ(refused({"--janela"}), "opção desconhecida: --janela");
    EXPECT_EQ(refused({"-platform", "xcb"}), "opção desconhecida: -platform");
    EXPECT_EQ(refused({"--cartorio", "01", "--lote", "a", "b"}), "a opção --cartorio vale só depois de --lote ENTRADA SAIDA");
    EXPECT_EQ(refused({"--diagnostico", "--json"}), "--diagnostico não leva argumentos: --json");
    EXPECT_EQ(refused({"a.p7s", "b.p7s"}), "só um arquivo pode ser aberto; a mais: b.p7s");
    EXPECT_EQ(refused({"a.p7s", "--lote"}), "só um arquivo pode ser aberto; a mais: --lote");
}

TEST(CommandLine, HelpListsEveryModeAndRefusalsExitWith64AndTheUsage) {
    const ProgramRun help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.errors.isEmpty()) << help.errors.toStdString();
    EXPECT_EQ(help.output, usageText());
    for (const char* mode : {"NorvaneAssinadorIP\n", "NorvaneAssinadorIP ARQUIVO.p7s\n", "--lote ENTRADA SAIDA",
                             "--verificar ARQUIVO.p7s", "--diagnostico\n", "--homologacao", "--cartorio NN",
                             "--certificado X", "--json", "--versao", "Códigos de saída:", "64 em qualquer modo"})
        EXPECT_TRUE(help.output.contains(QString::fromUtf8(mode))) << mode;

    for (const QStringList& wrong : {QStringList{"--janela"}, QStringList{"--homologacao"},
                                     QStringList{"--diagnostico", "agora"}, QStringList{"a.p7s", "b.p7s"}}) {
        const ProgramRun refused = run(wrong);
        EXPECT_EQ(refused.exitCode, 64) << wrong.join(' ').toStdString();
        EXPECT_TRUE(refused.output.isEmpty());
        EXPECT_TRUE(refused.errors.startsWith("NorvaneAssinadorIP: " + chooseCommand(wrong).problem + "\nUso: "))
            << refused.errors.toStdString();
        EXPECT_TRUE(refused.errors.endsWith(usageText()));
    }
}

TEST(CommandLine, WithNoDisplayTheMessageNamesACommandThatWorks) {
    const QString self = QFileInfo(QStringLiteral(NORVANE_EXECUTABLE)).canonicalFilePath();
    // Not on the PATH: its own path.
    QTemporaryDir bin;
    const ProgramRun away = run({}, bin.path() + ":/usr/bin:/bin");
    EXPECT_EQ(away.exitCode, 1);
    EXPECT_TRUE(away.errors.contains("    xvfb-run -a " + self + "\n")) << away.errors.toStdString();
    // Installed (the PATH finds this very program): its name.
    ASSERT_TRUE(QFile::link(self, bin.filePath("NorvaneAssinadorIP")));
    const ProgramRun installed = run({}, bin.path() + ":/usr/bin:/bin");
    EXPECT_EQ(installed.exitCode, 1);
    EXPECT_TRUE(installed.errors.contains("    xvfb-run -a NorvaneAssinadorIP\n")) << installed.errors.toStdString();
    EXPECT_FALSE(installed.errors.contains("./NorvaneAssinadorIP"));
    // The same for a .p7s to open: a window is needed for it too.
    const ProgramRun file = run({"assinatura.p7s"}, bin.path() + ":/usr/bin:/bin");
    EXPECT_EQ(file.exitCode, 1);
    EXPECT_TRUE(file.errors.contains("nenhuma tela gráfica disponível")) << file.errors.toStdString();
}

TEST(CommandLine, QtsOwnTextsAreInPortuguese) {
    const QString before = QCoreApplication::translate("QPlatformTheme", "Cancel");
    loadQtTranslations();
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancelar")) << before.toStdString();
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QStringLiteral("Procurar em:"));
}

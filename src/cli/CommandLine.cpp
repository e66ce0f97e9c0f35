#include "cli/CommandLine.h"

#include <cstdio>

#include "cli/BatchCommand.h"
#include "cli/DiagnosisCommand.h"
#include "cli/VerifyCommand.h"

namespace norvane {

namespace {

CommandChoice chosen(Command command) { return {command, QString(), QString()}; }
CommandChoice refused(const QString& problem) { return {Command::Refused, QString(), problem}; }

const QStringList kBatchOnly{QStringLiteral("--homologacao"), QStringLiteral("--cartorio"),
                             QStringLiteral("--certificado"), QStringLiteral("--json")};

}  // namespace

CommandChoice chooseCommand(const QStringList& arguments) {
    if (arguments.isEmpty()) return chosen(Command::Window);
    const QString first = arguments.first();
    if (first == QLatin1String(kBatchOption) || first == QLatin1String(kVersionOption)) return chosen(Command::Batch);
    if (first == QLatin1String(kVerifyOption)) return chosen(Command::Verify);
    if (first == QLatin1String(kHelpOption) || first == QLatin1String("-h")) return chosen(Command::Help);
    if (first == QLatin1String(kDiagnosisOption)) {
        if (arguments.size() > 1)
            return refused(QStringLiteral("--diagnostico não leva argumentos: ") + arguments.at(1));
        return chosen(Command::Diagnosis);
    }
    if (kBatchOnly.contains(first))
        return refused(QStringLiteral("a opção %1 vale só depois de --lote ENTRADA SAIDA").arg(first));
    if (first.startsWith(QLatin1Char('-')) && first != QLatin1String("-"))
        return refused(QStringLiteral("opção desconhecida: ") + first);
    if (arguments.size() > 1)
        return refused(QStringLiteral("só um arquivo pode ser aberto; a mais: ") + arguments.at(1));
    return {Command::CheckSignature, first, QString()};
}

QString usageText() {
    return QStringLiteral(
        "Uso: NorvaneAssinadorIP\n"
        "         abre a janela de login e, depois dela, a janela principal (o uso do dia a dia)\n"
        "     NorvaneAssinadorIP ARQUIVO.p7s\n"
        "         abre a verificação da assinatura do arquivo, sem login (o que o gerenciador de\n"
        "         arquivos faz ao abrir um .p7s)\n"
        "     NorvaneAssinadorIP --lote ENTRADA SAIDA [--homologacao] [--cartorio NN]\n"
        "                        [--certificado IMPRESSAO_DIGITAL] [--json]\n"
        "         assina os PDF/A da pasta ENTRADA, grava as assinaturas em SAIDA e as envia,\n"
        "         sem janela (NorvaneAssinadorIP --lote --help mostra os detalhes)\n"
        "     NorvaneAssinadorIP --verificar ARQUIVO.p7s [DOCUMENTO]\n"
        "         verifica a assinatura no terminal; com DOCUMENTO, confere que é o documento assinado\n"
        "     NorvaneAssinadorIP --diagnostico\n"
        "         mostra o que o programa vê: drivers, leitores, tokens, certificados e suas cadeias,\n"
        "         o proxy em uso\n"
        "     NorvaneAssinadorIP --help | --versao\n"
        "\n"
        "Opções de --lote:\n"
        "  --homologacao     usa o ambiente de homologação (o padrão é produção)\n"
        "  --cartorio NN     o cartório, pelo número, quando o login lista mais de um\n"
        "  --certificado X   o certificado, pela impressão digital (SHA-1), quando há mais de um\n"
        "  --json            um objeto JSON por evento de cada arquivo e o resumo, na saída padrão\n"
        "\n"
        "Códigos de saída:\n"
        "  janela e verificação em janela: 0 ao fechar; 1 sem tela gráfica (DISPLAY)\n"
        "  --lote: 0 todos os arquivos aceitos enviados; 1 algum arquivo com \"Erro\" ou não enviado;\n"
        "          2 um erro encerrou o lote; 3 login recusado ou cancelado, ou nenhum token conectado;\n"
        "          4 outra instância do programa em execução; 5 o serviço indica outra versão;\n"
        "          130 interrompido (Ctrl-C)\n"
        "  --verificar: 0 assinatura válida; 1 inválida; 2 arquivo que não pôde ser lido como assinatura\n"
        "  --diagnostico: 0 relatório escrito; 1 o relatório não pôde ser escrito\n"
        "  64 em qualquer modo: opção desconhecida ou fora do lugar, argumentos errados\n"
        "\n"
        "Proxy: as chamadas ao serviço e os downloads seguem http_proxy, https_proxy e no_proxy\n"
        "(também em maiúsculas), como o curl e o apt.\n");
}

int refuseArguments(const QString& problem) {
    const QByteArray text = (QStringLiteral("NorvaneAssinadorIP: ") + problem + QLatin1Char('\n') + usageText()).toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    return kExitUsage;
}

}  // namespace norvane

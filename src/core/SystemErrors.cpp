#include "core/SystemErrors.h"

#include <QFileDevice>
#include <QHash>
#include <QProcess>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <curl/curl.h>
#include <locale.h>
#include <mutex>

namespace norvane {

namespace {

const char* errnoWords(int error) {
    switch (error) {
        case ENOSPC: return "disco cheio";
        case EDQUOT: return "disco cheio (a cota de disco do usuário acabou)";
        case EFBIG: return "disco cheio (o arquivo chegou ao tamanho máximo permitido)";
        case EACCES:
        case EPERM: return "permissão negada";
        case ENOENT: return "arquivo ou pasta não encontrado";
        case EROFS: return "o disco é somente leitura";
        case EIO: return "erro de leitura ou gravação no disco";
        case EEXIST: return "o arquivo já existe";
        case ENOTDIR: return "não é uma pasta";
        case EISDIR: return "é uma pasta";
        case ENAMETOOLONG: return "nome longo demais";
        case ELOOP: return "link simbólico onde não se aceita um (ou links demais)";
        case EMFILE:
        case ENFILE: return "arquivos abertos demais";
        case ENOMEM: return "memória insuficiente";
        case EBUSY:
        case ETXTBSY: return "arquivo ou dispositivo em uso";
        case EXDEV: return "não é possível mover entre discos diferentes";
        case ENOTEMPTY: return "a pasta não está vazia";
        case EINVAL: return "argumento inválido";
        case ENXIO:
        case ENODEV: return "dispositivo não encontrado";
        case ESTALE: return "o arquivo de rede não está mais disponível";
        case EAGAIN: return "recurso temporariamente indisponível";
        case EINTR: return "operação interrompida";
        case EPIPE: return "conexão encerrada";
        case ECONNREFUSED: return "conexão recusada";
        case ECONNRESET: return "conexão encerrada pelo servidor";
        case ECONNABORTED: return "conexão abortada";
        case EHOSTUNREACH: return "servidor inalcançável";
        case ENETUNREACH: return "rede inalcançável";
        case ENETDOWN: return "rede fora do ar";
        case ETIMEDOUT: return "tempo esgotado";
        case EADDRINUSE: return "endereço em uso";
        default: return nullptr;
    }
}

// The system's own texts for errno (in the C locale and in the user's), back to errno:
// Qt's file classes give them as their error string.
const QHash<QString, int>& systemTexts() {
    static QHash<QString, int> texts;
    static std::once_flag once;
    std::call_once(once, [] {
        const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
        for (int error = 1; error < 200; ++error) {
            if (c) texts.insert(QString::fromLocal8Bit(::strerror_l(error, c)), error);
            texts.insert(QString::fromLocal8Bit(std::strerror(error)), error);
        }
        if (c) ::freelocale(c);
    });
    return texts;
}

const char* fileFailureWords(QFileDevice::FileError error) {
    switch (error) {
        case QFileDevice::ReadError: return "erro de leitura";
        case QFileDevice::WriteError: return "erro de gravação";
        case QFileDevice::OpenError: return "o arquivo não pôde ser aberto";
        case QFileDevice::ResourceError: return "recursos do sistema insuficientes (disco ou memória)";
        case QFileDevice::AbortError: return "operação cancelada";
        case QFileDevice::TimeOutError: return "tempo esgotado";
        case QFileDevice::RemoveError: return "o arquivo não pôde ser apagado";
        case QFileDevice::RenameError: return "o arquivo não pôde ser renomeado";
        case QFileDevice::PositionError: return "erro de posicionamento no arquivo";
        case QFileDevice::ResizeError: return "o tamanho do arquivo não pôde ser mudado";
        case QFileDevice::PermissionsError: return "permissão negada";
        case QFileDevice::CopyError: return "o arquivo não pôde ser copiado";
        default: return "erro desconhecido do sistema";
    }
}

}  // namespace

QString systemErrorText(int error) {
    if (const char* words = errnoWords(error)) return QString::fromUtf8(words);
    return QStringLiteral("erro do sistema (código %1)").arg(error);
}

QString fileErrorText(const QFileDevice& file, int error) {
    const auto known = systemTexts().constFind(file.errorString());
    if (known != systemTexts().constEnd()) return systemErrorText(*known);
    // Qt lost the reason (a write that failed in its buffer's flush): errno still holds it.
    if (error != 0 && error != EINTR) return systemErrorText(error);
    return QString::fromUtf8(fileFailureWords(file.error()));
}

QString processErrorText(const QProcess& process) {
    switch (process.error()) {
        case QProcess::FailedToStart: return QStringLiteral("o programa não pôde ser iniciado (não encontrado?)");
        case QProcess::Crashed: return QStringLiteral("o programa terminou de forma anormal");
        case QProcess::Timedout: return QStringLiteral("tempo esgotado");
        case QProcess::ReadError: return QStringLiteral("erro de leitura da saída do programa");
        case QProcess::WriteError: return QStringLiteral("erro de escrita para o programa");
        default: return QStringLiteral("erro desconhecido ao executar o programa");
    }
}

QString curlErrorText(int code) {
    switch (static_cast<CURLcode>(code)) {
        case CURLE_OK: return QStringLiteral("sem erro");
        case CURLE_UNSUPPORTED_PROTOCOL: return QStringLiteral("protocolo não suportado");
        case CURLE_URL_MALFORMAT: return QStringLiteral("endereço inválido");
        case CURLE_COULDNT_RESOLVE_PROXY: return QStringLiteral("proxy não encontrado");
        case CURLE_COULDNT_RESOLVE_HOST: return QStringLiteral("servidor não encontrado");
        case CURLE_COULDNT_CONNECT: return QStringLiteral("não foi possível conectar");
        case CURLE_HTTP_RETURNED_ERROR: return QStringLiteral("o servidor respondeu com um erro");
        case CURLE_WRITE_ERROR: return QStringLiteral("erro ao gravar o que foi recebido");
        case CURLE_READ_ERROR: return QStringLiteral("erro ao ler o que seria enviado");
        case CURLE_OUT_OF_MEMORY: return QStringLiteral("memória insuficiente");
        case CURLE_OPERATION_TIMEDOUT: return QStringLiteral("tempo esgotado");
        case CURLE_RANGE_ERROR: return QStringLiteral("o servidor não aceitou continuar a transferência");
        case CURLE_SSL_CONNECT_ERROR: return QStringLiteral("falha na conexão segura (TLS)");
        case CURLE_TOO_MANY_REDIRECTS: return QStringLiteral("redirecionamentos demais");
        case CURLE_GOT_NOTHING: return QStringLiteral("o servidor não respondeu nada");
        case CURLE_SEND_ERROR: return QStringLiteral("erro ao enviar dados");
        case CURLE_RECV_ERROR: return QStringLiteral("erro ao receber dados");
        case CURLE_PARTIAL_FILE: return QStringLiteral("a transferência terminou incompleta");
        case CURLE_ABORTED_BY_CALLBACK: return QStringLiteral("transferência cancelada");
        case CURLE_PEER_FAILED_VERIFICATION:
            return QStringLiteral("o certificado do servidor não é confiável ou não corresponde ao endereço");
        case CURLE_SSL_CERTPROBLEM: return QStringLiteral("problema com o certificado local");
        case CURLE_SSL_CIPHER: return QStringLiteral("cifra da conexão segura não aceita");
        case CURLE_SSL_CACERT_BADFILE: return QStringLiteral("os certificados confiáveis não puderam ser lidos");
        case CURLE_FILESIZE_EXCEEDED: return QStringLiteral("o arquivo passa do tamanho máximo");
        case CURLE_BAD_CONTENT_ENCODING: return QStringLiteral("codificação de conteúdo não reconhecida");
        case CURLE_AGAIN: return QStringLiteral("recurso temporariamente indisponível");
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return QStringLiteral("erro no protocolo HTTP/2");
        case CURLE_WEIRD_SERVER_REPLY: return QStringLiteral("resposta do servidor não reconhecida");
        default: return QStringLiteral("erro de comunicação (código %1 da libcurl)").arg(code);
    }
}

}  // namespace norvane

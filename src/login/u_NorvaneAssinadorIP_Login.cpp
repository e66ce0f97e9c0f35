#include "login/u_NorvaneAssinadorIP_Login.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QScreen>
#include <QStringDecoder>

#include "app/ErrorReport.h"
#include "app/Fonts.h"
#include "app/Logo.h"
#include "app/u_Principal.h"
#include "core/Background.h"
#include "core/Dialogs.h"
#include "core/Environment.h"
#include "core/u_global.h"
#include "core/unit_esfunctions.h"
#include "login/u_NovaVersao.h"
#include "service/ServiceCall.h"
#include "ui_u_NorvaneAssinadorIP_Login.h"
#include "ui_u_Principal.h"

TFLogin* FLogin = nullptr;

namespace norvane {

LoginUrls LoginUrls::configured() {
    return {environmentBaseUrl(kProducao), environmentBaseUrl(kHomologacao), downloadBaseUrl()};
}

QString redecodeOfficeName(const QString& name) {
    QByteArray bytes;
    bytes.reserve(name.size());
    for (const QChar c : name) {
        if (c.unicode() > 0xFF) return name;
        bytes.append(char(c.unicode()));
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(bytes);
    return utf8.hasError() ? name : decoded;
}

namespace {
QString escapeField(QString field) {
    return field.replace(QLatin1Char('%'), QStringLiteral("%25")).replace(QLatin1Char('|'), QStringLiteral("%7C"));
}
QString unescapeField(QString field) {
    return field.replace(QStringLiteral("%7C"), QStringLiteral("|"))
        .replace(QStringLiteral("%25"), QStringLiteral("%"));
}
}  // namespace

QString joinOfficeRecord(const QStringList& fields) {
    QStringList escaped;
    for (const QString& field : fields) escaped.append(escapeField(field));
    return escaped.join(QLatin1Char('|'));
}

QStringList splitOfficeRecord(const QString& record) {
    QStringList fields;
    for (const QString& piece : SplitByChar(QStringLiteral("|"), record)) fields.append(unescapeField(piece));
    while (fields.size() < 5) fields.append(QString());
    return fields;
}

}  // namespace norvane

namespace {

void setPlain(QLabel* label, const QString& text) {
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
}

// Characters 1-3, ".", 4-6, ".", 7-9, "-", 10-11, each cut from what is there.
QString formatCpf(const QString& cpf) {
    return cpf.mid(0, 3) + QLatin1Char('.') + cpf.mid(3, 3) + QLatin1Char('.') + cpf.mid(6, 3) + QLatin1Char('-') +
           cpf.mid(9, 2);
}

}  // namespace

TFLogin::TFLogin(QWidget* parent, const norvane::LoginUrls& urls)
    : QWidget(parent), ui(std::make_unique<Ui::TFLogin>()), urls_(urls) {
    ui->setupUi(this);
    setFont(norvane::tahoma(11));
    ui->Label1->setFont(norvane::tahoma(21));
    ui->Btn_Login->setFont(norvane::tahoma(19));
    ui->Label3->setFont(norvane::tahoma(16));
    ui->ComboBox1->setFont(norvane::tahoma(16));
    ui->Image1->setPixmap(norvane::makeLogo());
    setFixedSize(size());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    if (const QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    ActionControls = {ui->Btn_Login, ui->RadioButton1, ui->RadioButton2};
    connect(ui->Btn_Login, &QPushButton::clicked, this, norvane::guard([this] { Btn_LoginClick(); }));
    // Clicks and the arrow keys alike.
    connect(ui->RadioButton1, &QRadioButton::toggled, this, norvane::guard([this](bool checked) {
                if (checked) RadioButton1Click();
            }));
    connect(ui->RadioButton2, &QRadioButton::toggled, this, norvane::guard([this](bool checked) {
                if (checked) RadioButton2Click();
            }));
    // A selection with the mouse or the keyboard takes effect at once.
    connect(ui->ComboBox1, &QComboBox::activated, this, norvane::guard([this] { ComboBox1Select(); }));

    FormCreate();
}

TFLogin::~TFLogin() {
    if (FNovaVersao == NovaVersaoWindow.get()) FNovaVersao = nullptr;
}

void TFLogin::FormCreate() {
    VersionText = GetFileVersionText(QApplication::applicationFilePath(), QStringLiteral("%d.%d.%d"));
    setPlain(ui->Label2, QStringLiteral("v. ") + VersionText);
    ui->Label2->adjustSize();
    ui->Label1->adjustSize();
    AmbienteSelecionado = norvane::kProducao;
    UrlSelecionada = urls_.producao;
    Cartorios = norvane::FieldList();
}

void TFLogin::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The version check runs once, from the event loop, once the window is on screen.
    if (shown_ || event->spontaneous()) return;
    shown_ = true;
    QMetaObject::invokeMethod(this, norvane::guard([this] { FormShow(); }), Qt::QueuedConnection);
}

void TFLogin::FormShow() {
    const norvane::ActionLock lock(ActionControls);
    norvane::FieldList fields;
    fields.set(QStringLiteral("servico"), norvane::kAssinadorVersao);
    const auto answer = norvane::parseAnswerObject(
        norvane::serviceCall(IdHTTP1, AmbienteSelecionado, UrlSelecionada, norvane::Wrapping::A, fields));
    if (!answer) return;
    for (const norvane::JsonValue& element : norvane::jsonArray(*answer, QStringLiteral("root"))) {
        const norvane::JsonValue& dados = norvane::jsonObject(norvane::jsonAsObject(element), QStringLiteral("dados"));
        const QString versao = norvane::jsonText(dados, QStringLiteral("nm_nr_versao"));
        if (versao == VersionText) continue;
        // One update window: later elements of the answer do not start a second download.
        if (NovaVersaoWindow) continue;
        setEnabled(false);
        NovaVersaoWindow = std::make_unique<TFNovaVersao>();
        NovaVersaoWindow->DownloadBaseUrl = urls_.download;
        FNovaVersao = NovaVersaoWindow.get();
        FNovaVersao->VersaoAtual = VersionText;
        FNovaVersao->NovaVersao = versao;
        FNovaVersao->show();
    }
}

void TFLogin::RadioButton1Click() {
    AmbienteSelecionado = norvane::kProducao;
    UrlSelecionada = urls_.producao;
}

void TFLogin::RadioButton2Click() {
    AmbienteSelecionado = norvane::kHomologacao;
    UrlSelecionada = urls_.homologacao;
}

void TFLogin::Btn_LoginClick() {
    std::optional<norvane::JsonValue> answer;
    QString cpf;
    {
        const norvane::ActionLock lock(ActionControls);
        FPrincipal->ListaCertificados(1);
        const auto certificate = FPrincipal->selecionaCertificado(FPrincipal->Certificado_Thumbprint);
        const QString tipo = FPrincipal->verificaTipoCertificado(certificate);
        if (!tipo.contains(QStringLiteral("2.16.76.1.2.3"))) {
            norvane::dialogs().showError(QStringLiteral("Login somente com e-CPF A3!"));
            return;
        }
        cpf = FPrincipal->pegaExtensaoCPFCNPJCertificado(certificate);
        if (cpf == QStringLiteral("0")) {
            norvane::dialogs().showError(QStringLiteral("Login somente com e-CPF válido!"));
            return;
        }
        if (FPrincipal->AssinarString(QStringLiteral("login"), FPrincipal->Certificado_Thumbprint).isEmpty()) return;
        cpf = formatCpf(cpf);

        norvane::FieldList fields;
        fields.set(QStringLiteral("servico"), norvane::kLogin);
        fields.set(QStringLiteral("doc"), cpf);
        answer = norvane::parseAnswerObject(
            norvane::serviceCall(IdHTTP1, AmbienteSelecionado, UrlSelecionada, norvane::Wrapping::R, fields));
        if (!answer) return;
    }
    const norvane::JsonValue& root = norvane::jsonArray(*answer, QStringLiteral("root"));
    if (root.empty()) {
        norvane::dialogs().showError(QStringLiteral("Usuário não encontrado!"));
        return;
    }
    auto& principal = *FPrincipal->ui;
    if (root.size() == 1) {
        const norvane::JsonValue& office = norvane::jsonAsObject(root[0]);
        FPrincipal->cd_ibge = norvane::jsonText(office, QStringLiteral("codigoIBGE"));
        FPrincipal->nr_cartorio = norvane::jsonText(office, QStringLiteral("numero"));
        FPrincipal->cd_usuario = norvane::jsonText(office, QStringLiteral("codUsuario"));
        setPlain(principal.Label4,
                 QStringLiteral("Cartório: (") + FPrincipal->nr_cartorio + QStringLiteral(") ") +
                     norvane::redecodeOfficeName(norvane::jsonText(office, QStringLiteral("nomeCartorio"))));
        FPrincipal->nm_nr_cpf = cpf;
        FPrincipal->Ambiente = AmbienteSelecionado;
        FPrincipal->urlAPI = UrlSelecionada;
        setPlain(principal.Label2, QStringLiteral("Ambiente: ") + norvane::environmentLabel(AmbienteSelecionado));
        enterMainWindow();
        return;
    }
    for (const norvane::JsonValue& element : root) {
        const norvane::JsonValue& office = norvane::jsonAsObject(element);
        const QString numero = norvane::jsonText(office, QStringLiteral("numero"));
        const QString nome = norvane::redecodeOfficeName(norvane::jsonText(office, QStringLiteral("nomeCartorio")));
        const qint64 codCartorio = norvane::jsonInteger(office, QStringLiteral("codCartorio"));
        const QString caption = QStringLiteral("(") + numero + QStringLiteral(") ") + nome;
        ui->ComboBox1->addItem(caption, QVariant::fromValue(codCartorio));
        const QString record = norvane::joinOfficeRecord(
            {norvane::jsonText(office, QStringLiteral("codigoIBGE")), numero,
             norvane::jsonText(office, QStringLiteral("codUsuario")), QStringLiteral("Cartório: ") + caption, cpf});
        // Under the integer's decimal text, the key the selection looks up ("04201" and 4201 alike).
        Cartorios.set(QString::number(codCartorio), record);
    }
    ui->Btn_Login->setEnabled(false);
    ui->Btn_Login->setVisible(false);
    ui->RadioButton1->setVisible(false);
    ui->RadioButton2->setVisible(false);
    ui->ComboBox1->setCurrentIndex(-1);
    ui->ComboBox1->setVisible(true);
    ui->Panel1->setVisible(true);
}

void TFLogin::ComboBox1Select() {
    const int index = ui->ComboBox1->currentIndex();
    if (index < 0) return;
    const QString key = QString::number(ui->ComboBox1->itemData(index).toLongLong());
    const QStringList record = norvane::splitOfficeRecord(Cartorios.value(key));
    FPrincipal->cd_ibge = record[0];
    FPrincipal->nr_cartorio = record[1];
    FPrincipal->cd_usuario = record[2];
    setPlain(FPrincipal->ui->Label4, record[3]);
    FPrincipal->nm_nr_cpf = record[4];
    FPrincipal->Ambiente = AmbienteSelecionado;
    FPrincipal->urlAPI = UrlSelecionada;
    setPlain(FPrincipal->ui->Label2, QStringLiteral("Ambiente: ") + norvane::environmentLabel(AmbienteSelecionado));
    enterMainWindow();
}

void TFLogin::enterMainWindow() {
    setPlain(FPrincipal->ui->Label1, QStringLiteral("Usuário: ") + FPrincipal->Certificado_Nome);
    hide();
    FPrincipal->show();
}

void TFLogin::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    // Closing the application's main window ends the application.
    norvane::requestAbort();
    QApplication::quit();
}

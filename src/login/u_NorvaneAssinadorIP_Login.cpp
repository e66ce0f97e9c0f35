#include "login/u_NorvaneAssinadorIP_Login.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QScreen>

#include "app/Accessibility.h"
#include "app/DiagnosisWindow.h"
#include "app/ErrorReport.h"
#include "app/Fonts.h"
#include "app/Logo.h"
#include "core/Background.h"
#include "core/Environment.h"
#include "core/u_global.h"
#include "login/u_NovaVersao.h"
#include "workflows/VersionCheck.h"
#include "ui_u_NorvaneAssinadorIP_Login.h"

TFLogin* FLogin = nullptr;

namespace norvane {

LoginUrls LoginUrls::configured() {
    return {environmentBaseUrl(kProducao), environmentBaseUrl(kHomologacao), downloadBaseUrl()};
}

}  // namespace norvane

namespace {

void setPlain(QLabel* label, const QString& text) {
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
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

    ActionControls = {ui->Btn_Login, ui->RadioButton1, ui->RadioButton2, ui->Btn_Diagnostico};
    ui->Btn_Diagnostico->setFont(norvane::tahoma(11));
    connect(ui->Btn_Diagnostico, &QPushButton::clicked, this, norvane::guard([this] {
                const norvane::ActionLock lock(ActionControls);
                norvane::showDiagnosis(this);
            }));
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
    norvane::pressFocusedButtonOnEnter(this);

    FormCreate();
}

TFLogin::~TFLogin() {
    if (FNovaVersao == NovaVersaoWindow.get()) FNovaVersao = nullptr;
}

void TFLogin::useSession(norvane::SigningSession& signing, const norvane::LoginContext& pick) {
    signing_ = &signing;
    pick_ = &pick;
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
    const auto versao = norvane::otherServiceVersion(IdHTTP1, AmbienteSelecionado, UrlSelecionada, VersionText);
    // One update window: a later check does not start a second download.
    if (!versao || NovaVersaoWindow) return;
    setEnabled(false);
    NovaVersaoWindow = std::make_unique<TFNovaVersao>();
    NovaVersaoWindow->DownloadBaseUrl = urls_.download;
    FNovaVersao = NovaVersaoWindow.get();
    FNovaVersao->VersaoAtual = VersionText;
    FNovaVersao->NovaVersao = *versao;
    FNovaVersao->show();
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
    // Every login starts from an empty list: nothing of an earlier attempt can be chosen.
    ui->ComboBox1->clear();
    Cartorios = norvane::FieldList();
    ContextoLogin.reset();
    std::optional<norvane::LoginResult> login;
    {
        const norvane::ActionLock lock(ActionControls);
        login = norvane::loginWithCertificate(*signing_, *pick_, IdHTTP1, {AmbienteSelecionado, UrlSelecionada});
    }
    if (!login) return;
    if (login->offices.size() == 1) {
        enterMainWindow(norvane::contextForOffice(login->context, login->offices.front()));
        return;
    }
    for (const norvane::Office& office : login->offices) {
        ui->ComboBox1->addItem(office.caption, QVariant::fromValue(office.codCartorio));
        // Under the integer's decimal text, the key the selection looks up ("04201" and 4201 alike).
        Cartorios.set(QString::number(office.codCartorio), norvane::officeRecord(office));
    }
    ContextoLogin = login->context;
    ui->Btn_Login->setEnabled(false);
    ui->Btn_Login->setVisible(false);
    ui->RadioButton1->setVisible(false);
    ui->RadioButton2->setVisible(false);
    ui->ComboBox1->setCurrentIndex(-1);
    ui->ComboBox1->setVisible(true);
    ui->Panel1->setVisible(true);
    // The keyboard goes on where the choice is: the list of offices.
    ui->ComboBox1->setFocus(Qt::OtherFocusReason);
}

void TFLogin::ComboBox1Select() {
    const int index = ui->ComboBox1->currentIndex();
    if (index < 0 || !ContextoLogin) return;
    const QString key = QString::number(ui->ComboBox1->itemData(index).toLongLong());
    enterMainWindow(norvane::contextForRecord(*ContextoLogin, Cartorios.value(key)));
}

void TFLogin::enterMainWindow(const norvane::LoginContext& context) {
    hide();
    emit loggedIn(context);
}

void TFLogin::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    // Closing the application's main window ends the application.
    norvane::requestAbort();
    QApplication::quit();
}

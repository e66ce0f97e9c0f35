#include "app/u_Principal.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <functional>
#include <QScreen>

#include "app/Accessibility.h"
#include "app/Anchors.h"
#include "app/ErrorReport.h"
#include "app/Fonts.h"
#include "app/Logo.h"
#include "app/SignatureCheck.h"
#include "core/Background.h"
#include "core/Environment.h"
#include "core/u_global.h"
#include "ui_u_Principal.h"

TFPrincipal* FPrincipal = nullptr;

namespace {

// The largest size up to the forms' 19 pixels at which the text fits the width (11 at least).
QFont tahomaThatFits(const QString& text, int width) {
    QFont font = norvane::tahoma(19);
    while (font.pixelSize() > 11 && QFontMetrics(font).horizontalAdvance(text) > width)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

// A panel's controls take the tab control's font. Where Tahoma is missing, the font that
// stands in for it is wider: a button's caption stays whole at a smaller size.
void setPanelFonts(std::initializer_list<QWidget*> controls, std::initializer_list<QPushButton*> buttons) {
    for (QWidget* control : controls) control->setFont(norvane::tahoma(19));
    for (QPushButton* button : buttons) button->setFont(tahomaThatFits(button->text(), button->width() - 12));
}

}  // namespace

TFPrincipal::TFPrincipal(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TFPrincipal>()) {
    ui->setupUi(this);
    // Its own taskbar entry although the login window is the application's main window.
    setWindowFlag(Qt::Window, true);
    setAttribute(Qt::WA_QuitOnClose, false);

    const QFont base = norvane::tahoma(11);
    const QFont large = norvane::tahoma(19);
    setFont(base);
    ui->Label1->setFont(large);
    ui->Label4->setFont(large);
    ui->TabControl1->setFont(large);
    ui->Label2->setFont(base);
    ui->Panel1->setFont(base);
    ui->Panel2->setFont(base);
    ui->Panel3->setFont(base);

    ui->Image1->setPixmap(norvane::makeLogo());

    ui->TabControl1->Tabs()->addTab(QStringLiteral("Assinatura em Lote"));
    ui->TabControl1->Tabs()->addTab(QStringLiteral("IP's da Digitação Manual"));
    ui->TabControl1->Tabs()->addTab(QStringLiteral("Assinatura Individual"));
    ui->TabControl1->setTabIndex(0);
    ui->Label2->raise();
    // The environment label sits beside the tabs: the strip ends where it begins.
    // Where the stand-in for Tahoma is wider, the tab texts shrink a little rather than be cut.
    QTabBar* tabs = ui->TabControl1->Tabs();
    tabs->setMaximumWidth(ui->Label2->x() - 4);
    for (QFont font = tabs->font(); tabs->sizeHint().width() > tabs->maximumWidth() && font.pixelSize() > 12;) {
        font.setPixelSize(font.pixelSize() - 1);
        tabs->setFont(font);
    }
    ui->Panel1->setVisible(true);
    ui->Panel2->setVisible(false);
    ui->Panel3->setVisible(false);

    norvane::anchor(ui->Label1, Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge);
    norvane::anchor(ui->Label4, Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge);
    norvane::anchor(ui->TabControl1, Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge | Qt::BottomEdge);
    for (QWidget* panel : {ui->Panel1, ui->Panel2, ui->Panel3})
        norvane::anchor(panel, Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge | Qt::BottomEdge);

    connect(ui->TabControl1, &TTabControl::Change, this, norvane::guard([this] { TabControl1Change(); }));
    // The tab strip starts no action: while a batch runs the other tabs can be looked at.
    ActionControls = {ui->Button1,
                      ui->Button2,
                      ui->Button3,
                      ui->Button6,
                      ui->Button5,
                      ui->Button4,
                      ui->Button9,
                      ui->Button7,
                      ui->ButtonVerificar};
    SetupPanel1();
    SetupPanel3();
    SetupPanel2();

    if (const QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    // Tab goes from the tab strip to the shown panel's controls, in the form's order (the
    // strip is made first); Enter presses the focused button.
    norvane::pressFocusedButtonOnEnter(this);

    FormCreate();
}

TFPrincipal::~TFPrincipal() = default;

void TFPrincipal::SetupPanel1() {
    setPanelFonts({ui->Button1, ui->Button2, ui->Button3, ui->PastaEntrada, ui->PastaSaida, ui->ListView1, ui->Progresso},
                  {ui->Button1, ui->Button2, ui->Button3});
    norvane::anchor(ui->ListView1, Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge | Qt::BottomEdge);
    Batch = std::make_unique<norvane::BatchSigningTab>(
        norvane::BatchSigningTab::Controls{ui->Button1, ui->Button2, ui->Button3, ui->PastaEntrada, ui->PastaSaida,
                                           ui->ListView1, ui->Progresso},
        *this, Signing, IdHTTP2, ActionControls);
    connect(ui->Button1, &QPushButton::clicked, this, norvane::guard([this] { Button1Click(); }));
    connect(ui->Button2, &QPushButton::clicked, this, norvane::guard([this] { Button2Click(); }));
    connect(ui->Button3, &QPushButton::clicked, this, norvane::guard([this] { Button3Click(); }));
}

void TFPrincipal::SetupPanel3() {
    setPanelFonts({ui->Button9, ui->Label5, ui->Button7, ui->Label6, ui->Label3, ui->ButtonVerificar},
                  {ui->Button9, ui->Button7, ui->ButtonVerificar});
    Individual = std::make_unique<norvane::IndividualSigningTab>(
        norvane::IndividualSigningTab::Controls{ui->Button9, ui->Label5, ui->Button7, ui->Label6}, *this, Signing,
        ActionControls);
    connect(ui->Button9, &QPushButton::clicked, this, norvane::guard([this] { Button9Click(); }));
    connect(ui->Button7, &QPushButton::clicked, this, norvane::guard([this] { Button7Click(); }));
    connect(ui->ButtonVerificar, &QPushButton::clicked, this, norvane::guard([this] { ButtonVerificarClick(); }));
    norvane::acceptSignatureDrops(this, ui->ButtonVerificar, ActionControls);
}

void TFPrincipal::ButtonVerificarClick() { norvane::checkSignatureAction(this, ActionControls); }

namespace {

// Calls the handler when the label is clicked.
class LabelClick final : public QObject {
public:
    LabelClick(QLabel* label, std::function<void()> handler) : QObject(label), handler_(std::move(handler)) {
        label->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            handler_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> handler_;
};

}  // namespace

void TFPrincipal::SetupPanel2() {
    setPanelFonts({ui->Button6, ui->Button5, ui->Button4, ui->PastaGravacao, ui->ListView2},
                  {ui->Button6, ui->Button5, ui->Button4});
    norvane::anchor(ui->ListView2, Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge | Qt::BottomEdge);
    Manual = std::make_unique<norvane::ManualInstrumentsTab>(
        norvane::ManualInstrumentsTab::Controls{ui->Button6, ui->Button5, ui->Button4, ui->PastaGravacao,
                                                ui->ListView2},
        *this, Signing, IdHTTP3, IdHTTP2, ActionControls);
    connect(ui->Button6, &QPushButton::clicked, this, norvane::guard([this] { Button6Click(); }));
    connect(ui->Button5, &QPushButton::clicked, this, norvane::guard([this] { Button5Click(); }));
    connect(ui->Button4, &QPushButton::clicked, this, norvane::guard([this] { Button4Click(); }));
    for (QLabel* label : {ui->PastaGravacao, ui->Label3})
        new LabelClick(label, norvane::guard([this] { PastaGravacaoClick(); }));
}

void TFPrincipal::FormCreate() {
    VersionText = GetFileVersionText(QApplication::applicationFilePath(), QStringLiteral("%d.%d.%d"));
    setWindowTitle(windowTitle() + QStringLiteral(" - v.") + VersionText);
}

void TFPrincipal::enterWithLogin(const norvane::LoginContext& contexto) {
    static_cast<norvane::LoginContext&>(*this) = contexto;
    const auto setPlain = [](QLabel* label, const QString& text) {
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
    };
    setPlain(ui->Label1, QStringLiteral("Usuário: ") + Certificado_Nome);
    setPlain(ui->Label4, QStringLiteral("Cartório: (") + nr_cartorio + QStringLiteral(") ") + nm_cartorio);
    setPlain(ui->Label2, QStringLiteral("Ambiente: ") + norvane::environmentLabel(Ambiente));
    show();
}

void TFPrincipal::TabControl1Change() {
    switch (ui->TabControl1->TabIndex()) {
        case 0:
            ui->Panel1->setVisible(true);
            ui->Panel2->setVisible(false);
            ui->Panel3->setVisible(false);
            break;
        case 1:
            ui->Panel1->setVisible(false);
            ui->Panel2->setVisible(true);
            ui->Panel3->setVisible(false);
            break;
        case 2:
            ui->Panel1->setVisible(false);
            ui->Panel2->setVisible(false);
            ui->Panel3->setVisible(true);
            break;
        default:
            break;
    }
}

void TFPrincipal::FormClose() {
    norvane::requestAbort();
    QApplication::quit();
}

void TFPrincipal::fitHeaderLabels() {
    for (QLabel* label : {ui->Label1, ui->Label4}) {
        label->setFont(tahomaThatFits(label->text(), label->width()));
        label->setToolTip(label->text());
    }
}

void TFPrincipal::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    fitHeaderLabels();
}

void TFPrincipal::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitHeaderLabels();
}

void TFPrincipal::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    FormClose();
}

// The main window's shell and the default error report.

#include "core/Background.h"
#include "tabs/ActionLock.h"
#include "core/Environment.h"
#include "app/ErrorReport.h"
#include "app/u_Principal.h"
#include "support/ScriptedDialogs.h"
#include "ui_u_Principal.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QFontMetrics>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

using norvane::test::ScriptedDialogs;

TEST(MainWindow, CaptionCarriesTheVersionWithoutTheBuildNumber) {
    TFPrincipal window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Norvane - Assinador de Instrumento de Protesto - v.") +
                                        QStringLiteral(NORVANE_VERSION_TEXT));
    EXPECT_EQ(window.VersionText, QStringLiteral(NORVANE_VERSION_TEXT));
    EXPECT_EQ(window.size(), QSize(800, 600));
    EXPECT_EQ(window.ui->Image1->pixmap().size(), QSize(113, 49));
    EXPECT_TRUE(window.Certificado_Thumbprint.isEmpty());
    EXPECT_TRUE(window.Ambiente.isEmpty());
}

TEST(MainWindow, TabsSwitchPanelsAndPanelsKeepTheirContent) {
    TFPrincipal window;
    window.show();
    auto& ui = *window.ui;
    ASSERT_EQ(ui.TabControl1->Tabs()->count(), 3);
    EXPECT_EQ(ui.TabControl1->Tabs()->tabText(0), QStringLiteral("Assinatura em Lote"));
    EXPECT_EQ(ui.TabControl1->Tabs()->tabText(1), QStringLiteral("IP's da Digitação Manual"));
    EXPECT_EQ(ui.TabControl1->Tabs()->tabText(2), QStringLiteral("Assinatura Individual"));
    EXPECT_EQ(ui.TabControl1->TabIndex(), 0);
    EXPECT_TRUE(ui.Panel1->isVisible());
    EXPECT_FALSE(ui.Panel2->isVisible());
    EXPECT_FALSE(ui.Panel3->isVisible());

    auto* edit = new QLineEdit(ui.Panel1);
    edit->setText(QStringLiteral("C:/entrada"));

    // The user clicks the second tab.
    const QRect second = ui.TabControl1->Tabs()->tabRect(1);
    QTest::mouseClick(ui.TabControl1->Tabs(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(ui.TabControl1->TabIndex(), 1);
    EXPECT_FALSE(ui.Panel1->isVisible());
    EXPECT_TRUE(ui.Panel2->isVisible());
    EXPECT_FALSE(ui.Panel3->isVisible());

    ui.TabControl1->setTabIndex(2);
    EXPECT_FALSE(ui.Panel1->isVisible());
    EXPECT_FALSE(ui.Panel2->isVisible());
    EXPECT_TRUE(ui.Panel3->isVisible());

    ui.TabControl1->setTabIndex(0);
    EXPECT_TRUE(ui.Panel1->isVisible());
    EXPECT_FALSE(ui.Panel3->isVisible());
    EXPECT_EQ(edit->text(), QStringLiteral("C:/entrada"));
}

TEST(MainWindow, PanelsFollowTheWindowWhenResized) {
    TFPrincipal window;
    window.show();
    const QRect before = window.ui->Panel1->geometry();
    window.resize(1000, 700);
    QCoreApplication::processEvents();
    EXPECT_EQ(window.ui->TabControl1->geometry(), QRect(8, 63, 984, 629));
    EXPECT_EQ(window.ui->Panel1->geometry(), QRect(before.topLeft(), QSize(978, 586)));
    EXPECT_EQ(window.ui->Label1->width(), 842);
}

TEST(MainWindow, ALongOfficeNameInTheHeaderIsShownWhole) {
    TFPrincipal window;
    window.ui->Label4->setText(
        QStringLiteral("Cartório: (01) TABELIONATO DO 2º OFÍCIO DE PROTESTO DE LETRAS E TÍTULOS DE SÃO JOSÉ"));
    window.ui->Label1->setText(QStringLiteral("Usuário: FULANO"));
    window.show();
    QCoreApplication::processEvents();
    const QLabel* office = window.ui->Label4;
    EXPECT_LE(QFontMetrics(office->font()).horizontalAdvance(office->text()), office->width());
    EXPECT_LT(office->font().pixelSize(), 19);
    EXPECT_EQ(window.ui->Label1->font().pixelSize(), 19) << "a name that fits keeps its size";
    // A wider window gives the name its size back.
    window.resize(1400, 600);
    QCoreApplication::processEvents();
    EXPECT_EQ(office->font().pixelSize(), 19);
}

TEST(MainWindow, ClosingItEndsTheApplication) {
    TFPrincipal window;
    window.show();
    QTimer::singleShot(0, &window, [&] { window.close(); });
    QTimer limit;  // gone with the test, so it cannot end a later test's loop
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    limit.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_TRUE(norvane::abortRequested()) << "work still running is told to stop";
    norvane::clearAbortRequest();
}

TEST(Environment, LabelsUrlsAndTheTestAgainstP) {
    EXPECT_EQ(norvane::environmentLabel(QStringLiteral("P")), QStringLiteral("Produção"));
    EXPECT_EQ(norvane::environmentLabel(QStringLiteral("H")), QStringLiteral("Homologação"));
    EXPECT_EQ(norvane::environmentLabel(QStringLiteral("p")), QStringLiteral("Homologação"));
    EXPECT_EQ(norvane::environmentLabel(QString()), QStringLiteral("Homologação"));
    EXPECT_EQ(norvane::environmentBaseUrl(QStringLiteral("P")), QStringLiteral(NORVANE_URL_PRODUCAO));
    EXPECT_EQ(norvane::environmentBaseUrl(QStringLiteral("X")), QStringLiteral(NORVANE_URL_HOMOLOGACAO));
    for (const QString& url : {norvane::environmentBaseUrl(QStringLiteral("P")),
                               norvane::environmentBaseUrl(QStringLiteral("H"))}) {
        EXPECT_TRUE(url.startsWith(QStringLiteral("http://"))) << url.toStdString();
        EXPECT_TRUE(url.endsWith(QStringLiteral("/assinadorNorvane/"))) << url.toStdString();
    }
    EXPECT_TRUE(norvane::downloadBaseUrl().endsWith(QStringLiteral("/files/")));
}

TEST(DefaultErrorReport, AnErrorEscapingAHandlerIsShownAndTheWindowStaysUsable) {
    ScriptedDialogs dialogs;
    TFPrincipal window;
    window.show();
    auto* button = new QPushButton(QStringLiteral("Assinar"), window.ui->Panel1);
    button->setGeometry(10, 10, 100, 30);
    button->show();
    int done = 0;
    QObject::connect(button, &QPushButton::clicked, &window, norvane::guard([&] {
                         ++done;  // what the action did before failing stays done
                         if (done == 1) throw std::runtime_error("Falha na conexão com o serviço");
                     }));
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].kind, norvane::test::ShownBox::Error);
    EXPECT_EQ(dialogs.boxes[0].text, QStringLiteral("Falha na conexão com o serviço"));
    EXPECT_EQ(done, 1);

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(done, 2) << "the window still answers";
    EXPECT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(window.isVisible());
}

namespace {
// Throws from its handler of an event of its own. (An event that Qt copies on the way, a mouse
// press, would have Qt's copy skipped over by the error, not destroyed: Qt's own frames are
// built without exception handling. What is tested is the application's catch, not that.)
class ThrowingWidget : public QWidget {
public:
    static constexpr QEvent::Type kEvent = QEvent::Type(QEvent::User + 1);

protected:
    bool event(QEvent* event) override {
        if (event->type() == kEvent) throw std::runtime_error("Arquivo não encontrado: a.pdf");
        return QWidget::event(event);
    }
};
}  // namespace

TEST(DefaultErrorReport, CatchesWhatEscapesAnyEventHandler) {
    ScriptedDialogs dialogs;
    ThrowingWidget widget;
    widget.resize(50, 50);
    widget.show();
    QEvent sent(ThrowingWidget::kEvent);
    QCoreApplication::sendEvent(&widget, &sent);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, QStringLiteral("Arquivo não encontrado: a.pdf"));
    // And one that arrives through the event loop.
    QCoreApplication::postEvent(&widget, new QEvent(ThrowingWidget::kEvent));
    QCoreApplication::processEvents();
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_EQ(dialogs.boxes[1].text, QStringLiteral("Arquivo não encontrado: a.pdf"));
}

TEST(Background, WorkRunsOffTheGuiThreadWhileEventsAreServed) {
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(5);
    const QThread* gui = QThread::currentThread();
    const int value = norvane::runInBackground([&] {
        EXPECT_NE(QThread::currentThread(), gui);
        QThread::msleep(200);
        return 42;
    });
    EXPECT_EQ(value, 42);
    EXPECT_GT(ticks, 5) << "the event loop ran while the work blocked";

    EXPECT_THROW(norvane::runInBackground([] { throw std::runtime_error("boom"); }), std::runtime_error);

    QPushButton a, b;
    {
        norvane::ActionLock lock({&a, &b});
        EXPECT_FALSE(a.isEnabled());
        EXPECT_FALSE(b.isEnabled());
    }
    EXPECT_TRUE(a.isEnabled());
    EXPECT_TRUE(b.isEnabled());

    // A control disabled only through its parent comes back enabled with the parent.
    QWidget panel;
    auto* child = new QPushButton(&panel);
    panel.setEnabled(false);
    { norvane::ActionLock lock({child}); }
    panel.setEnabled(true);
    EXPECT_TRUE(child->isEnabled());
}

TEST(Background, QuittingWhileWorkRunsEndsTheActionAndServesTheWorkersCallsMeanwhile) {
    auto served = std::make_shared<std::atomic<bool>>(false);
    QString outcome;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(50, [] { QCoreApplication::exit(0); });
        try {
            norvane::runInBackground([served] {
                for (int i = 0; i < 600 && !norvane::abortRequested(); ++i) QThread::msleep(5);
                // Like a PIN prompt: the work waits for the GUI thread to answer.
                QMetaObject::invokeMethod(qApp, [served] { *served = true; }, Qt::QueuedConnection);
                for (int i = 0; i < 600 && !*served; ++i) QThread::msleep(5);
                return 1;
            });
            outcome = QStringLiteral("value");
        } catch (const norvane::Aborted&) {
            outcome = QStringLiteral("aborted");
        }
    });
    QCoreApplication::exec();
    EXPECT_EQ(outcome, QStringLiteral("aborted"));
    EXPECT_TRUE(*served) << "the GUI thread kept answering the work while it stopped";
    norvane::clearAbortRequest();
}

TEST(DefaultErrorReport, AnActionCutShortByClosingTheProgramShowsNothing) {
    ScriptedDialogs dialogs;
    EXPECT_FALSE(norvane::guarded([] { throw norvane::Aborted(); }));
    EXPECT_TRUE(dialogs.boxes.empty());
}

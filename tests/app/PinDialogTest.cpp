// The PIN prompt, driven as a clerk drives it: OK stays disabled until the PIN has a length
// the token takes, and Enter on an empty field sends nothing. Then the token layer: a PIN of
// another length is asked again and never reaches the token (pkcs11-spy counts the logins).

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/QtDialogs.h"
#include "certs/CAPICOM_TLB.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Background.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace norvane;
using namespace norvane::test;

namespace {

// Runs `drive` on the PIN dialog once it is shown.
void whenShown(const std::function<void(QDialog&, QLineEdit&, QPushButton&)>& drive) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, drive] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        timer->stop();
        timer->deleteLater();
        QPushButton* ok = nullptr;
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->text() == QStringLiteral("OK")) ok = button;
        QLineEdit* field = dialog->findChild<QLineEdit*>();
        ASSERT_TRUE(ok && field);
        drive(*dialog, *field, *ok);
    });
    timer->start();
}

}  // namespace

TEST(PinDialog, OkIsEnabledOnlyForALengthTheTokenTakes) {
    whenShown([](QDialog& dialog, QLineEdit& field, QPushButton& ok) {
        EXPECT_FALSE(ok.isEnabled()) << "empty";
        QTest::keyClick(&field, Qt::Key_Return);
        EXPECT_TRUE(dialog.isVisible()) << "Enter on the empty field sends nothing";
        QTest::keyClicks(&field, "123");
        EXPECT_FALSE(ok.isEnabled()) << "below the token's minimum";
        QTest::keyClicks(&field, "4");
        EXPECT_TRUE(ok.isEnabled());
        QTest::keyClicks(&field, "56789");
        EXPECT_FALSE(ok.isEnabled()) << "above the token's maximum";
        QTest::keyClick(&field, Qt::Key_Backspace);
        EXPECT_TRUE(ok.isEnabled());
        EXPECT_EQ(field.accessibleName(), QStringLiteral("Digite o PIN do cartão ou token \"Token A\":"));
        QTest::keyClick(&field, Qt::Key_Return);
    });
    const std::optional<QString> typed = qtDialogs().askTokenPin(PinRequest{"Token A", QString(), 4, 8});
    ASSERT_TRUE(typed.has_value());
    EXPECT_EQ(*typed, "12345678");
}

TEST(PinDialog, APinOfALengthTheTokenRefusesIsAskedAgainAndNeverSent) {
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    tokens.addToken("Token A", {Cert::A3});
    // Every PKCS#11 call goes through OpenSC's spy, which logs it.
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString log = work.filePath("spy.log");
    qputenv("PKCS11SPY", SoftHsmTokens::softHsmModule().toUtf8());
    qputenv("PKCS11SPY_OUTPUT", log.toUtf8());
    tokens::setProxyModuleForTesting(QStringLiteral("/usr/lib/x86_64-linux-gnu/pkcs11-spy.so"));

    auto store = CAPICOM_TLB::CoStore::Create();
    store->Open(CAPICOM_TLB::CAPICOM_CURRENT_USER_STORE, "My", CAPICOM_TLB::CAPICOM_STORE_OPEN_READ_ONLY);
    const auto a3 = store->Certificates()->Find(0, TestPki::instance()[Cert::A3].thumbprint, true)->Item(1);
    auto signer = CAPICOM_TLB::CoSigner::Create();
    signer->SetCertificate(a3);
    auto data = CAPICOM_TLB::CoSignedData::Create();
    data->SetBinaryContent(QByteArray("conteudo"));
    dialogs.pinAnswers = {QString(), QString("12"), QString(SoftHsmTokens::kUserPin)};
    runInBackground([&] { return data->Sign(signer, false, CAPICOM_TLB::CAPICOM_ENCODE_BINARY); });
    tokens::restoreDefaultModulesForTesting();

    ASSERT_EQ(dialogs.pinRequests.size(), 3u);
    EXPECT_EQ(dialogs.pinRequests[0].minLength, 4);  // SoftHSM's minimum
    EXPECT_TRUE(dialogs.pinRequests[1].message.startsWith("O PIN deste cartão ou token tem de 4 a 255 caracteres."))
        << dialogs.pinRequests[1].message.toStdString();
    QFile spy(log);
    ASSERT_TRUE(spy.open(QIODevice::ReadOnly));
    const QString calls = QString::fromUtf8(spy.readAll());
    EXPECT_EQ(calls.count(QRegularExpression(QStringLiteral("C_Login\\b"))), 1) << "only the PIN of a length it takes";
    EXPECT_FALSE(calls.contains(QRegularExpression(QStringLiteral("ulPinLen = 0\\b"))));
}

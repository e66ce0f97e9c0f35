#include "Card.h"

#include <QElapsedTimer>
#include <QThread>

#include "core/Error.h"
#include "support/TestPki.h"

namespace norvane::test {

namespace {

// Whether pcscd says a card is in vpcd's first reader, as OpenSC's tools read it.
bool cardListed() {
    QProcess tool;
    tool.start(QStringLiteral("opensc-tool"), {QStringLiteral("--list-readers")});
    if (!tool.waitForFinished(kCeilingMs)) tool.kill();
    for (const QString& line : QString::fromUtf8(tool.readAllStandardOutput()).split('\n'))
        if (line.endsWith(QStringLiteral("Virtual PCD 00 00")))
            return line.simplified().section(QLatin1Char(' '), 1, 1) == QStringLiteral("Yes");
    return false;
}

}  // namespace

Card::Card(int tries) {
    const TestPki& pki = TestPki::instance();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString python = qEnvironmentVariable("NORVANE_CARD_PYTHON", QStringLiteral("python3"));
    process_.start(python, {QStringLiteral(NORVANE_TEST_SUPPORT_DIR "/card/piv_card.py"), "--cert",
                            pki[Cert::A3].derPath, "--key", pki[Cert::A3].keyPath, "--ca-cert",
                            pki[Cert::Intermediate].derPath, "--tries", QString::number(tries)});
    expectLine("ready");
    if (!waitForCardSeen(true))
        throw norvane::Error(norvane::ErrorKind::Failure, QStringLiteral("OpenSC never listed the card"));
}

Card::~Card() {
    process_.write("quit\n");
    process_.closeWriteChannel();
    if (!process_.waitForFinished(kCeilingMs)) process_.kill();
    waitForCardSeen(false);
}

void Card::remove() {
    command("remove");
    if (!waitForCardSeen(false))
        throw norvane::Error(norvane::ErrorKind::Failure, QStringLiteral("the card stayed listed after it was pulled"));
}

void Card::insert() {
    command("insert");
    if (!waitForCardSeen(true))
        throw norvane::Error(norvane::ErrorKind::Failure, QStringLiteral("OpenSC never listed the card put back"));
}

QString Card::state() { return command("state").mid(6); }

QString Card::command(const QByteArray& what) {
    process_.write(what + '\n');
    return expectLine(what == "state" ? QByteArray("state") : "ok " + what);
}

QString Card::expectLine(const QByteArray& start) {
    QElapsedTimer waited;
    waited.start();
    while (!process_.canReadLine()) {
        if (process_.state() == QProcess::NotRunning || waited.elapsed() > kCeilingMs)
            throw norvane::Error(norvane::ErrorKind::Failure,
                                 "the card emulator did not answer " + QString::fromLatin1(start));
        process_.waitForReadyRead(1000);
    }
    const QByteArray line = process_.readLine().trimmed();
    if (!line.startsWith(start))
        throw norvane::Error(norvane::ErrorKind::Failure, "card emulator: " + QString::fromUtf8(line));
    return QString::fromUtf8(line);
}

bool waitForCardSeen(bool present) {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kCeilingMs) {
        if (cardListed() == present) return true;
        QThread::msleep(50);
    }
    return false;
}

std::shared_ptr<CAPICOM_TLB::ICertificates2> myStore() {
    using namespace CAPICOM_TLB;
    auto store = CoStore::Create();
    store->Open(CAPICOM_CURRENT_USER_STORE, "My", CAPICOM_STORE_OPEN_READ_ONLY);
    return store->Certificates();
}

bool waitForCard(bool present) {
    const QString a3 = TestPki::instance()[Cert::A3].thumbprint;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kCeilingMs) {
        if ((myStore()->Find(0, a3, false)->Count() > 0) == present) return true;
        QThread::msleep(50);
    }
    return false;
}

}  // namespace norvane::test

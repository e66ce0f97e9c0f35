#pragma once
// The PIV card emulator (tests/support/card/piv_card.py) in vpcd's reader, holding the test
// PKI's e-CPF A3, its key and its issuer's certificate. Each change (in, out) returns once
// pcscd reports it, as another program looking at the readers sees it (opensc-tool in a
// process of its own: the program under test is not made to look at the tokens by it).

#include <QProcess>
#include <QString>
#include <memory>

#include "certs/CAPICOM_TLB.h"

namespace norvane::test {

// What the clerk reads when the card has one PIN try left, and once its PIN is locked.
inline const QString kFinalTry = QStringLiteral("Atenção: última tentativa antes do bloqueio do PIN");
inline const QString kLocked = QStringLiteral(
    "PIN bloqueado. Desbloqueie o cartão ou token com o PUK (aplicativo do fabricante) antes de assinar.");

// A ceiling for what the stack and the program do; every wait ends as soon as it is done.
constexpr int kCeilingMs = 120000;

class Card {
public:
    explicit Card(int tries = 3);  // inserted, with that many PIN tries left
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    void remove();
    void insert();
    // "tries=N pins-while-locked=M": the tries left, and the PINs presented while it was locked.
    QString state();

private:
    QString command(const QByteArray& what);
    QString expectLine(const QByteArray& start);
    QProcess process_;
};

// Waits, with the ceiling, until pcscd reports the card in (or out of) the reader.
bool waitForCardSeen(bool present);

// The program's own view: the store of the login, polled until the card's e-CPF is (or is not)
// there.
std::shared_ptr<CAPICOM_TLB::ICertificates2> myStore();
bool waitForCard(bool present);

}  // namespace norvane::test

#pragma once
// Preparation of a service answer: decoding of its bytes, the homologation prefix and
// the wrapping rule of the service.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace norvane {

// R: {"root":<answer>}; A: {"root":[<answer>]}; N: the answer unchanged.
enum class Wrapping { R, A, N };

// The body decoded by the charset of its Content-Type; XML types take the charset of
// their XML declaration. No charset, or one not known: one byte, one character
// (ISO-8859-1). A byte-order mark is kept as a character, except where it states the
// byte order of UTF-16 or UTF-32 (no mark there: big-endian).
QString decodeAnswerBody(const QByteArray& body, const QByteArray& contentType);

// Outside production the first three characters are dropped; then the wrapping.
QString prepareAnswer(const QString& text, const QString& ambiente, Wrapping wrapping);

// The prepared answer of rule N as a view of the body's own bytes, when they are the
// UTF-8 of exactly what decoding and preparing give (UTF-8 declared and valid, or no
// charset and plain ASCII); nullopt otherwise. A large answer is then read without
// copies.
std::optional<QByteArrayView> preparedUtf8(const QByteArray& body, const QByteArray& contentType,
                                           const QString& ambiente);

}  // namespace norvane

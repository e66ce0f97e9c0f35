#pragma once
// The ICP-Brasil identity rules on the platform's multi-line text of one extension
// (EncodedData.Format(true)): the certificate's policy type and the holder's CPF.
// Pure functions: no platform, no window.

#include <QString>

namespace norvane {

// Updates `result` from the lines of one certificate-policies text: every policy
// identifier line overwrites it with its identifier, so the last policy wins. A line
// that mentions "Identif" but has no value raises (the result keeps what it held).
void applyPolicyTypeRule(const QString& extensionText, QString& result);

// Updates `result` from the lines of one subject-alternative-name text: an other-name
// of type exactly 2.16.76.1.3.1 gives characters 11 to 21 of its decoded value (the
// CPF), one of type exactly 2.16.76.1.3.3 gives "0"; the last one wins. Lines of other
// kinds (e-mail, DNS name, URI...) never change the result, even when they hold those
// texts; such a line whose value is not hex still raises, as does a value without "=".
void applyCpfRule(const QString& extensionText, QString& result);

// Hex digit pairs to characters (0-255); an odd last digit is ignored; a pair that is
// not hex raises.
QString hexToString(const QString& hex);

}  // namespace norvane

#pragma once
// The system's reasons in Portuguese, wherever a box or a message gives one: the operating
// system's (errno), those of Qt's file and process classes, and libcurl's. No English text
// of theirs reaches the user. A full disk says "disco cheio".

#include <QString>

class QFileDevice;
class QProcess;

namespace norvane {

// The reason for errno `error`: the common ones in words, any other as "erro do sistema
// (código N)".
QString systemErrorText(int error);

// The reason of a failed operation on `file`. `error` is errno read right after the
// failure (0 when unknown): the system's reason in the device's text comes first, then
// `error` when the device gives none (Qt's "Unknown error"), then the kind of failure.
QString fileErrorText(const QFileDevice& file, int error);

// The reason a process could not be run or ended abnormally.
QString processErrorText(const QProcess& process);

// libcurl's reason for a result code (a CURLcode), in Portuguese.
QString curlErrorText(int code);

}  // namespace norvane

#pragma once
// Is a downloaded file our Debian package of a given version? Read with dpkg-deb, which
// every system that installs .deb files has.

#include <QString>
#include <optional>
#include <string>

#include "core/Error.h"

namespace norvane {

// The program's package name ("norvane-assinador-ip").
QString packageName();

struct PackageFields {
    QString package;
    QString version;
};

// The Package and Version fields of a Debian package's control data; nothing when the
// file is not a Debian package (or cannot be read as one). Blocks: off the GUI thread.
std::optional<PackageFields> readPackageFields(const QString& path);

// The first three numbers of a Debian version, epoch and revision aside, as they are
// written: "1:1.0.4.2-1" gives "1.0.4"; fewer numbers give what there is ("1.0").
QString leadingVersion(const QString& debianVersion);

// What a file that is not a Debian package seems to be, for a message: "uma página HTML",
// "um arquivo vazio", "um programa do Windows", "um arquivo de N bytes de outro tipo".
QString describeNonPackage(const QString& path);

// A downloaded file that is not our package of the version the service named.
class PackageRefused : public Error {
public:
    enum class Kind { NotAPackage, OtherPackage, OtherVersion };
    PackageRefused(Kind kind, const std::string& message)
        : Error(ErrorKind::PackageRefused, QString::fromStdString(message)), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Accepts the file at `path` when it is a Debian package named packageName() whose
// version's first three numbers are `version` (compared as text). Anything else is
// deleted and raises PackageRefused, whose message says what the file was and that it
// was deleted. Blocks: off the GUI thread.
void acceptDownloadedPackage(const QString& path, const QString& version);

}  // namespace norvane

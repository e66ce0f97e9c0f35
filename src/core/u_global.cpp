#include "core/u_global.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <array>
#include <cstring>
#include <elf.h>
#include <optional>

namespace {

constexpr char kNoteName[] = "Norvane";
constexpr std::uint32_t kNoteType = 1;

using Version = std::array<std::uint16_t, 4>;

template <class T>
bool readAt(const QByteArray& data, std::uint64_t offset, T& out) {
    if (offset > static_cast<std::uint64_t>(data.size()) || data.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, data.constData() + offset, sizeof(T));
    return true;
}

std::uint64_t align4(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

// Walks the notes of one note area looking for ours.
std::optional<Version> findInNotes(const QByteArray& data, std::uint64_t offset, std::uint64_t size) {
    const std::uint64_t end = offset + size;
    if (end > static_cast<std::uint64_t>(data.size()) || end < offset) return std::nullopt;
    while (offset + 12 <= end) {
        std::uint32_t nameSize = 0, descSize = 0, type = 0;
        readAt(data, offset, nameSize);
        readAt(data, offset + 4, descSize);
        readAt(data, offset + 8, type);
        const std::uint64_t nameAt = offset + 12;
        const std::uint64_t descAt = nameAt + align4(nameSize);
        const std::uint64_t next = descAt + align4(descSize);
        if (next > end || next <= offset) break;
        if (type == kNoteType && nameSize == sizeof(kNoteName) && descSize >= 8 &&
            std::memcmp(data.constData() + nameAt, kNoteName, sizeof(kNoteName)) == 0) {
            Version v{};
            std::memcpy(v.data(), data.constData() + descAt, 8);
            return v;
        }
        offset = next;
    }
    return std::nullopt;
}

template <class Ehdr, class Shdr, class Phdr>
std::optional<Version> findVersion(const QByteArray& data) {
    Ehdr header{};
    if (!readAt(data, 0, header)) return std::nullopt;
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Shdr section{};
        if (!readAt(data, header.e_shoff + std::uint64_t{i} * header.e_shentsize, section)) break;
        if (section.sh_type != SHT_NOTE) continue;
        if (auto v = findInNotes(data, section.sh_offset, section.sh_size)) return v;
    }
    // A file whose section table was stripped still has its note segments.
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Phdr segment{};
        if (!readAt(data, header.e_phoff + std::uint64_t{i} * header.e_phentsize, segment)) break;
        if (segment.p_type != PT_NOTE) continue;
        if (auto v = findInNotes(data, segment.p_offset, segment.p_filesz)) return v;
    }
    return std::nullopt;
}

std::optional<Version> readVersionRecord(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    uchar* mapped = file.size() > 0 ? file.map(0, file.size()) : nullptr;
    const QByteArray data =
        mapped ? QByteArray::fromRawData(reinterpret_cast<const char*>(mapped), file.size()) : file.readAll();
    if (data.size() < EI_NIDENT || std::memcmp(data.constData(), ELFMAG, SELFMAG) != 0) return std::nullopt;
    if (data[EI_DATA] != ELFDATA2LSB) return std::nullopt;
    if (data[EI_CLASS] == ELFCLASS64) return findVersion<Elf64_Ehdr, Elf64_Shdr, Elf64_Phdr>(data);
    if (data[EI_CLASS] == ELFCLASS32) return findVersion<Elf32_Ehdr, Elf32_Shdr, Elf32_Phdr>(data);
    return std::nullopt;
}

}  // namespace

QString GetFileVersionText(const QString& fileName, const QString& format) {
    QString path = fileName;
    if (path.isEmpty()) path = QCoreApplication::instance() ? QCoreApplication::applicationFilePath()
                                                             : QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const auto version = readVersionRecord(path);
    if (!version) return QString();
    const QByteArray fmt = format.toUtf8();
    return QString::asprintf(fmt.constData(), int{(*version)[0]}, int{(*version)[1]}, int{(*version)[2]},
                             int{(*version)[3]});
}

QString GetSpecialFolder(const QString& keyword) {
    QString path;
    if (keyword == QLatin1String("documentos"))
        path = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    else if (keyword == QLatin1String("rede"))
        return QString();  // no network-shortcuts folder on this platform
    else
        path = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    while (path.size() > 1 && (path.endsWith(QLatin1Char('/')) || path.endsWith(QDir::separator())))
        path.chop(1);
    return QDir::toNativeSeparators(path);
}

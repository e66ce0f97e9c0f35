#include "packaging/Packaging.h"

#include "core/SystemErrors.h"

#include <dirent.h>
#include <libdeflate.h>
#include <zlib.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

using norvane::fileErrorText;
using norvane::systemErrorText;

namespace {

[[noreturn]] void fail(const QString& message) { throw PackagingError(message.toStdString()); }

QString openError(const QString& path, const QString& reason) {
    return QStringLiteral("Não foi possível abrir o arquivo \"%1\": %2").arg(path, reason);
}

QString writeError(const QString& path, const QString& reason) {
    return QStringLiteral("Não foi possível gravar o arquivo \"%1\": %2").arg(path, reason);
}

QByteArray readWhole(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) fail(openError(path, fileErrorText(file, errno)));
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        fail(QStringLiteral("Não foi possível ler o arquivo \"%1\": %2").arg(path, fileErrorText(file, errno)));
    return data;
}

void commit(QSaveFile& file) {
    if (!file.commit()) fail(writeError(file.fileName(), fileErrorText(file, errno)));
}

void put16(QByteArray& out, quint32 value) {
    out += char(value & 0xFF);
    out += char((value >> 8) & 0xFF);
}

void put32(QByteArray& out, quint32 value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

struct Entry {
    QByteArray name;
    quint16 time = 0;
    quint16 date = 0;
    quint32 crc = 0;
    quint32 compressedSize = 0;
    quint32 size = 0;
    quint32 attributes = 0;
    quint32 offset = 0;
};

// The fields that the local header and the central directory share, from "version
// needed" to the extra field's length: version 20, UTF-8 names, deflate.
void putEntryFields(QByteArray& out, const Entry& entry) {
    put16(out, 20);
    put16(out, 0x0800);
    put16(out, 8);
    put16(out, entry.time);
    put16(out, entry.date);
    put32(out, entry.crc);
    put32(out, entry.compressedSize);
    put32(out, entry.size);
    put16(out, quint32(entry.name.size()));
    put16(out, 0);
}

// Raw deflate at the default level (6). libdeflate compresses a whole buffer at once in
// about half the time of zlib's streaming deflate; any conforming deflate stream is a valid
// ZIP entry.
QByteArray deflateRaw(const QByteArray& data, const QString& path) {
    const std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
        libdeflate_alloc_compressor(6), libdeflate_free_compressor);
    if (!compressor) fail(QStringLiteral("Não foi possível compactar o arquivo \"%1\".").arg(path));
    const size_t size = static_cast<size_t>(data.size());
    QByteArray out(static_cast<qsizetype>(libdeflate_deflate_compress_bound(compressor.get(), size)),
                   Qt::Uninitialized);
    const size_t produced = libdeflate_deflate_compress(compressor.get(), data.constData(), size, out.data(),
                                                        static_cast<size_t>(out.size()));
    if (produced == 0) fail(QStringLiteral("Não foi possível compactar o arquivo \"%1\".").arg(path));
    out.truncate(static_cast<qsizetype>(produced));
    return out;
}

// MS-DOS time and date of a local time; both 0 outside 1980 to 2107.
std::pair<quint16, quint16> dosDateTime(const QDateTime& when) {
    const QDate date = when.date();
    const QTime time = when.time();
    if (!when.isValid() || date.year() < 1980 || date.year() > 2107) return {0, 0};
    return {quint16(time.hour() * 2048 + time.minute() * 32 + time.second() / 2),
            quint16((date.year() - 1980) * 512 + date.month() * 32 + date.day())};
}

void writeAll(QSaveFile& file, const QByteArray& bytes) {
    if (file.write(bytes) != bytes.size()) fail(writeError(file.fileName(), fileErrorText(file, errno)));
}

// A file that appears whole or not at all, like QSaveFile's, but without its sync to disk:
// for archives that live only until their text has been made, where the sync would cost
// more than all the rest of the writing. On Linux the file has no name until it is renamed
// into place, so nothing is left behind even when the program dies in the middle.
class TransientFile {
public:
    explicit TransientFile(const QString& path)
        : path_(path),
          file_(QFileInfo(path).absolutePath() + QStringLiteral("/.") + QFileInfo(path).fileName() +
                QStringLiteral(".XXXXXX")) {}
    bool open() { return file_.open(); }
    QString errorString() const { return fileErrorText(file_, errno); }
    void write(const QByteArray& bytes) {
        if (file_.write(bytes) != bytes.size()) fail(writeError(path_, fileErrorText(file_, errno)));
    }
    void commit() {
        if (!file_.flush()) fail(writeError(path_, fileErrorText(file_, errno)));
        // QTemporaryFile renames only onto a free name: an earlier archive of the name goes first.
        if (QFileInfo::exists(path_) && !QFile::remove(path_))
            fail(writeError(path_, QStringLiteral("o arquivo anterior não pôde ser apagado")));
        if (!file_.rename(path_)) fail(writeError(path_, fileErrorText(file_, errno)));
        file_.setAutoRemove(false);
    }

private:
    QString path_;
    QTemporaryFile file_;
};

constexpr std::array<qint8, 256> kDecode = [] {
    std::array<qint8, 256> table{};
    table.fill(-1);
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<qint8>(i);
    return table;
}();

}  // namespace

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline unsigned char* encodeTriplets(unsigned char* out, const unsigned char* in, qsizetype triplets) {
    for (qsizetype i = 0; i < triplets; ++i, in += 3, out += 4) {
        const quint32 bits = quint32(in[0]) << 16 | quint32(in[1]) << 8 | in[2];
        out[0] = kAlphabet[bits >> 18];
        out[1] = kAlphabet[(bits >> 12) & 63];
        out[2] = kAlphabet[(bits >> 6) & 63];
        out[3] = kAlphabet[bits & 63];
    }
    return out;
}

}  // namespace

namespace {

constexpr qsizetype kLineBytes = 57;
constexpr qsizetype kLineChars = 76;

// Characters of the last, partial line, whose padding may make it a whole line of 76.
qsizetype lastLineChars(qsizetype rest) { return (rest + 2) / 3 * 4; }

// A CR LF follows every 76th character, also when that character is the last group's
// padding (55 or 56 bytes past a multiple of 57).
qsizetype encodedLength(qsizetype size) {
    const qsizetype last = lastLineChars(size % kLineBytes);
    return size / kLineBytes * (kLineChars + 2) + last + (last == kLineChars ? 2 : 0);
}

// Encodes whole lines, and a last partial one when `last`; returns the end of the text.
unsigned char* encodeLines(unsigned char* target, const unsigned char* source, qsizetype size, bool last) {
    const qsizetype lines = size / kLineBytes;
    for (qsizetype i = 0; i < lines; ++i, source += kLineBytes) {
        target = encodeTriplets(target, source, kLineBytes / 3);
        *target++ = '\r';
        *target++ = '\n';
    }
    const qsizetype rest = size % kLineBytes;
    if (!last || rest == 0) return target;
    target = encodeTriplets(target, source, rest / 3);
    source += rest / 3 * 3;
    if (rest % 3) {
        // The last group of one or two bytes, padded with "=".
        const unsigned char tail[3] = {source[0], rest % 3 == 2 ? source[1] : uchar(0), 0};
        encodeTriplets(target, tail, 1);
        target[3] = '=';
        if (rest % 3 == 1) target[2] = '=';
        target += 4;
    }
    if (lastLineChars(rest) == kLineChars) {
        *target++ = '\r';
        *target++ = '\n';
    }
    return target;
}

}  // namespace

QByteArray EncodeBase64Lines(const QByteArray& data) {
    QByteArray out(encodedLength(data.size()), Qt::Uninitialized);
    encodeLines(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(data.constData()),
                data.size(), true);
    return out;
}

QByteArray EncodeFile(const QString& FileName) {
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly)) fail(openError(FileName, fileErrorText(file, errno)));
    // Read in blocks of whole lines, each encoded as it arrives; the size is the one
    // the file has now, and a file that changes meanwhile is read to its real end.
    QByteArray out(encodedLength(file.size()), Qt::Uninitialized);
    QByteArray block(kLineBytes * 8192, Qt::Uninitialized);
    auto* target = reinterpret_cast<unsigned char*>(out.data());
    qsizetype pending = 0;  // bytes at the start of block not yet encoded
    while (true) {
        const qint64 n = file.read(block.data() + pending, block.size() - pending);
        if (n < 0) fail(QStringLiteral("Não foi possível ler o arquivo \"%1\": %2").arg(FileName, fileErrorText(file, errno)));
        pending += qsizetype(n);
        const bool last = n == 0;
        const qsizetype whole = last ? pending : pending / kLineBytes * kLineBytes;
        const qsizetype offset = target - reinterpret_cast<unsigned char*>(out.data());
        if (offset + encodedLength(whole) > out.size()) {
            out.resize(offset + encodedLength(whole) + out.size() / 2);
            target = reinterpret_cast<unsigned char*>(out.data()) + offset;
        }
        target = encodeLines(target, reinterpret_cast<const unsigned char*>(block.constData()), whole, last);
        if (last) break;
        std::memmove(block.data(), block.constData() + whole, size_t(pending - whole));
        pending -= whole;
    }
    out.truncate(target - reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

QByteArray DecodeBase64Lenient(const QByteArray& text) {
    QByteArray out(text.size() / 4 * 3 + 3, Qt::Uninitialized);
    char* target = out.data();
    quint32 group = 0;
    int count = 0;
    for (const char c : text) {
        const qint8 value = kDecode[static_cast<unsigned char>(c)];
        if (value < 0) continue;
        group = (group << 6) | quint32(value);
        if (++count == 4) {
            *target++ = char(group >> 16);
            *target++ = char(group >> 8);
            *target++ = char(group);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        *target++ = char(group >> 4);
    } else if (count == 3) {
        *target++ = char(group >> 10);
        *target++ = char(group >> 2);
    }
    out.truncate(target - out.constData());
    return out;
}

void SaveBase64ToFile(const QByteArray& Base64, const QString& Path) {
    const QByteArray bytes = DecodeBase64Lenient(Base64);
    QSaveFile file(Path);
    if (!file.open(QIODevice::WriteOnly)) fail(writeError(Path, fileErrorText(file, errno)));
    writeAll(file, bytes);
    commit(file);
}

DecodedFileName decodeFileName(const QByteArray& bytes) {
    // Stateless: an incomplete sequence at the end is an error, not bytes kept for a next
    // call that never comes. ConvertInitialBom: a leading U+FEFF is a character of the name.
    QStringDecoder utf8(QStringConverter::Utf8,
                        QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    DecodedFileName name;
    name.text = utf8.decode(bytes);
    // The name is opened again through encodeName: only a text that gives back the same
    // bytes names the same file.
    name.exact = !utf8.hasError() && QFile::encodeName(name.text) == bytes;
    return name;
}

QStringList unrepresentableFileNames(const QString& folder) {
    QStringList names;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir) fail(openError(folder, systemErrorText(errno)));
    while (const dirent* entry = ::readdir(dir)) {
        const DecodedFileName name = decodeFileName(QByteArray(entry->d_name));
        if (!name.exact) names << name.text;
    }
    ::closedir(dir);
    return names;
}

bool hasUnrepresentableName(const QString& path) {
    return path.contains(QChar::ReplacementCharacter) && !QFileInfo::exists(path);
}

QString unrepresentableNameError(const QString& path) {
    return QStringLiteral(
               "O nome do arquivo \"%1\" não é um texto UTF-8 válido e não pode ser usado; renomeie o arquivo.")
        .arg(path);
}

namespace {

// The central directory of the entries written, and the record that ends the archive.
QByteArray centralDirectory(const std::vector<Entry>& entries, quint32 directoryOffset) {
    QByteArray directory;
    for (const Entry& entry : entries) {
        put32(directory, 0x02014B50);
        put16(directory, 20);  // version made by
        putEntryFields(directory, entry);
        put16(directory, 0);  // comment length
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, entry.attributes);
        put32(directory, entry.offset);
        directory += entry.name;
    }
    QByteArray end;
    put32(end, 0x06054B50);
    put16(end, 0);
    put16(end, 0);
    put16(end, quint32(entries.size()));
    put16(end, quint32(entries.size()));
    put32(end, quint32(directory.size()));
    put32(end, directoryOffset);
    put16(end, 0);
    return directory + end;
}

}  // namespace

bool Zipa(const QStringList& Files, const QString& ZipName) {
    TransientFile archive(ZipName);
    if (!archive.open())
        fail(QStringLiteral("Não foi possível criar o arquivo \"%1\": %2").arg(ZipName, archive.errorString()));

    std::vector<Entry> entries;
    quint32 offset = 0;
    QString failure;
    for (const QString& path : Files) {
        const QFileInfo info(path);
        if (hasUnrepresentableName(path)) {
            failure = unrepresentableNameError(path);
            break;
        }
        if (!info.isFile()) continue;  // missing paths (and folders) are skipped

        // Each entry is prepared whole before it is written, so that a file that cannot
        // be read leaves the archive with the entries before it, closed properly.
        QByteArray data;
        try {
            data = readWhole(path);
        } catch (const PackagingError& error) {
            failure = QString::fromUtf8(error.what());
            break;
        }
        if (data.size() > 0xFFFFFFFFLL || entries.size() >= 0xFFFF) {
            failure = QStringLiteral("O arquivo \"%1\" é grande demais para o arquivo ZIP.").arg(path);
            break;
        }
        const QByteArray compressed = deflateRaw(data, path);
        Entry entry;
        entry.name = info.fileName().toUtf8();
        std::tie(entry.time, entry.date) = dosDateTime(info.lastModified());
        entry.crc = quint32(crc32_z(0, reinterpret_cast<const Bytef*>(data.constData()), size_t(data.size())));
        entry.compressedSize = quint32(compressed.size());
        entry.size = quint32(data.size());
        entry.attributes = 0x20;
        if (!(info.permissions() & QFileDevice::WriteOwner)) entry.attributes |= 0x01;
        entry.offset = offset;

        QByteArray header;
        put32(header, 0x04034B50);
        putEntryFields(header, entry);
        header += entry.name;
        if (qint64(offset) + header.size() + compressed.size() > 0xFFFFFFFFLL) {
            failure = QStringLiteral("O arquivo ZIP \"%1\" ficaria grande demais.").arg(ZipName);
            break;
        }
        archive.write(header);
        archive.write(compressed);
        offset += quint32(header.size() + compressed.size());
        entries.push_back(entry);
    }

    archive.write(centralDirectory(entries, offset));
    archive.commit();

    if (!failure.isEmpty()) fail(failure);
    return true;
}

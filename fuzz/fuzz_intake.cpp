// The batch intake's listing and name rules on file names made of the input's bytes (any
// bytes but "/" and NUL: valid UTF-8 or not, U+FEFF, characters beyond U+FFFF, incomplete
// sequences). Each file holds its own number. Properties: every PDF name is listed once; a
// name listed without an error opens exactly its own file; a name that is not UTF-8 is listed
// with its error, never as another name; the name rules count characters as the name's own
// bytes count them, and the instrument key is a whole-character prefix of the name.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringDecoder>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <unistd.h>

#include "FuzzCheck.h"
#include "packaging/Packaging.h"
#include "engine/BatchIntake.h"

namespace {

// Characters of valid UTF-8 bytes: every byte that does not continue a sequence starts one.
qsizetype characters(const QByteArray& utf8) {
    qsizetype count = 0;
    for (const char c : utf8) count += (uchar(c) & 0xC0) != 0x80;
    return count;
}

// The bytes of characters [from, from + count) of valid UTF-8.
QByteArray characterBytes(const QByteArray& utf8, qsizetype from, qsizetype count) {
    qsizetype start = 0, index = -1;
    for (; start < utf8.size(); ++start) {
        if ((uchar(utf8[start]) & 0xC0) != 0x80 && ++index == from) break;
    }
    qsizetype end = start;
    for (qsizetype taken = 0; end < utf8.size(); ++end) {
        if ((uchar(utf8[end]) & 0xC0) != 0x80 && taken++ == count) break;
    }
    return utf8.mid(start, end - start);
}

// Valid UTF-8 as text, a leading U+FEFF kept (QString::fromUtf8 drops it).
QString text(const QByteArray& utf8) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(utf8);
}

bool isPdfName(const QByteArray& name) { return !name.startsWith('.') && name.toLower().endsWith(".pdf"); }

// The name rules on a name that is valid text, against its own bytes.
void checkNameRules(const QString& name) {
    const QByteArray bytes = name.toUtf8();
    FUZZ_CHECK(norvane::characterCount(name) == characters(bytes), "characters counted otherwise than the bytes count them");
    const QString key = norvane::instrumentKey(name);
    FUZZ_CHECK(key.toUtf8() == characterBytes(bytes, 0, 23), "the key is not the first 23 characters");
    FUZZ_CHECK(key.isEmpty() || !key.back().isHighSurrogate(), "the key ends in half a character");
    const QString ibge = text(characterBytes(bytes, 0, 7));
    const QString office = text(characterBytes(bytes, 15, 2));
    const norvane::ContentMarks ok{false, true, true};
    const QString observation = norvane::intakeObservation(ok, name, ibge, office);
    if (characters(bytes) < 27) {
        FUZZ_CHECK(observation == QStringLiteral("Nomenclatura do arquivo menor que 23 caracteres"), "length test");
        return;
    }
    FUZZ_CHECK(observation.isEmpty(), "the name's own key was refused");
    FUZZ_CHECK(norvane::intakeObservation(ok, name, ibge, office + "0").endsWith("(nr cartório = " + office + "0)"),
               "another office accepted");
    FUZZ_CHECK(norvane::intakeObservation(ok, name, ibge.chopped(1), office).endsWith("(cód ibge = " + ibge.chopped(1) + ")"),
               "another town accepted");
}

QByteArray folderBytes() {
    static const QByteArray folder = [] {
        static char pattern[] = "/tmp/fuzz-intake-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        std::atexit([] { std::filesystem::remove_all(pattern); });
        return QByteArray(pattern) + "/";
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    // The names: the input cut at "/", without NUL bytes, at most 255 bytes, at most 8.
    std::map<QByteArray, int> files;  // name -> its number
    for (QByteArray piece : input.split('/')) {
        piece.replace('\0', QByteArray());
        piece.truncate(255);
        if (piece.isEmpty() || piece == "." || piece == ".." || files.count(piece)) continue;
        const int number = int(files.size());
        files[piece] = number;
        if (files.size() == 8) break;
    }
    // Every valid name also through the rules alone.
    for (const auto& [bytes, number] : files) {
        const DecodedFileName decoded = decodeFileName(bytes);
        if (decoded.exact) checkNameRules(decoded.text);
    }

    const QByteArray folder = folderBytes();
    std::filesystem::remove_all(folder.constData());
    std::filesystem::create_directory(folder.constData());
    for (const auto& [bytes, number] : files) {
        FILE* file = std::fopen((folder + bytes).constData(), "wb");
        FUZZ_CHECK(file, "cannot make a file");
        std::fprintf(file, "arquivo %d", number);
        std::fclose(file);
    }

    const std::vector<norvane::FolderEntry> entries =
        norvane::listFolderEntries(QFile::decodeName(folder), QStringLiteral("*.pdf"));
    std::set<QByteArray> listed;
    for (const norvane::FolderEntry& entry : entries) {
        FUZZ_CHECK(files.count(entry.bytes) == 1, "an entry that is no file's name");
        FUZZ_CHECK(listed.insert(entry.bytes).second, "a file listed twice");
        FUZZ_CHECK(entry.size == QByteArray("arquivo " + QByteArray::number(files[entry.bytes])).size(),
                   "the size of another file");
        if (entry.error.isEmpty()) {
            FUZZ_CHECK(QFile::encodeName(entry.name) == entry.bytes, "a name that does not give back its bytes");
            QFile file(QFile::decodeName(folder) + entry.name);
            FUZZ_CHECK(file.open(QIODevice::ReadOnly), "a listed name that opens nothing");
            FUZZ_CHECK(file.readAll() == "arquivo " + QByteArray::number(files[entry.bytes]), "a name that opens another file");
            const norvane::ContentMarks marks =
                norvane::readContentMarks(QFile::decodeName(folder) + entry.name);
            FUZZ_CHECK(!marks.pdfa && !marks.keywords, "marks that the file does not hold");
            checkNameRules(entry.name);
        } else {
            FUZZ_CHECK(!decodeFileName(entry.bytes).exact, "a valid name refused");
            FUZZ_CHECK(entry.name.contains(QChar::ReplacementCharacter), "a refused name shown without its mark");
        }
    }
    for (const auto& [bytes, number] : files)
        FUZZ_CHECK(listed.count(bytes) == size_t(isPdfName(bytes)), "a PDF name left out, or another name listed");
    return 0;
}

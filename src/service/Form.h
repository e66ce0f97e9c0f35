#pragma once
// The fields of a service call and their form encoding.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

namespace norvane {

// Ordered name=value list. Setting an existing name replaces its value in place;
// setting the empty text removes the field, so an empty field is never sent; a new
// name goes to the end. Values are held as UTF-8.
class FieldList {
public:
    struct Field {
        QString name;
        QByteArray value;  // UTF-8
    };

    void set(const QString& name, const QString& value);
    // Single-byte text (one character per byte, such as the Base64 text of
    // EncodeFile): taken without a detour through UTF-16, which matters for large files.
    void set(const QString& name, const QByteArray& singleByteValue);
    void set(const QString& name, const char* utf8Value) { set(name, QString::fromUtf8(utf8Value)); }
    QString value(const QString& name) const;
    bool contains(const QString& name) const { return indexOf(name) >= 0; }
    qsizetype size() const { return fields_.size(); }
    const QList<Field>& fields() const { return fields_; }

private:
    void setUtf8(const QString& name, QByteArray value);
    qsizetype indexOf(const QString& name) const;
    QList<Field> fields_;
};

// A space gives "+", A-Z a-z 0-9 * - . _ stay, every other character is written as
// the "%XX" (upper case) of each of its UTF-8 bytes; a surrogate pair is one character.
QByteArray percentEncode(QStringView text);
void appendPercentEncodedUtf8(QByteArray& out, const QByteArray& utf8);

// name=value pairs joined by "&", in list order.
QByteArray encodeForm(const FieldList& fields);

}  // namespace norvane

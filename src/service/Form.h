#pragma once
// The fields of a service call and their form encoding.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringView>

namespace norvane {

// Ordered name=value list. Setting an existing name replaces its value in place;
// setting the empty text removes the field, so an empty field is never sent; a new
// name goes to the end.
class FieldList {
public:
    void set(const QString& name, const QString& value);
    QString value(const QString& name) const;
    bool contains(const QString& name) const { return indexOf(name) >= 0; }
    qsizetype size() const { return fields_.size(); }
    const QList<QPair<QString, QString>>& fields() const { return fields_; }

private:
    qsizetype indexOf(const QString& name) const;
    QList<QPair<QString, QString>> fields_;
};

// A space gives "+", A-Z a-z 0-9 * - . _ stay, every other character is written as
// the "%XX" (upper case) of each of its UTF-8 bytes; a surrogate pair is one character.
void appendPercentEncoded(QByteArray& out, QStringView text);
QByteArray percentEncode(QStringView text);

// name=value pairs joined by "&", in list order.
QByteArray encodeForm(const FieldList& fields);

}  // namespace norvane

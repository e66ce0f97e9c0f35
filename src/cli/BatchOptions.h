#pragma once
// The arguments of "--lote ENTRADA SAIDA [options]", read from argv's bytes: a folder's
// name is taken only when it is valid UTF-8 (never decoded with replacement characters,
// which could name another folder), each option at most once, and an option's value is
// never another option.

#include <QByteArray>
#include <QString>
#include <vector>

namespace norvane {

struct BatchOptions {
    QString input;   // absolute, no trailing separator (as a folder choice gives it)
    QString output;
    bool homologation = false;
    QString office;
    QString thumbprint;
    bool json = false;
};

// The reason the arguments are wrong, or an empty text when `options` holds them.
// `arguments` are argv[1..] as bytes, the first being "--lote".
QString parseBatchOptions(const std::vector<QByteArray>& arguments, BatchOptions& options);

}  // namespace norvane

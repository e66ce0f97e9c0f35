#pragma once
// An output folder holds the sends of one environment: a homologation run into a folder
// whose journal records production sends (or the other way round) would overwrite the
// production signatures, and the next production report would name hashes no longer on
// disk. Such a folder is refused before anything is signed.

#include <QString>
#include <optional>

namespace norvane {

// The environment ("P", or another code for homologation) other than `ambiente` to which
// the journal of `folder` records a send, when there is one. Only a journal that is a
// regular file is read (anything else is left to the journal's own opening, which refuses
// it); lines that are not ours, or torn, are passed over.
std::optional<QString> otherEnvironmentSent(const QString& folder, const QString& ambiente);

// The refusal, in the words of a box: the folder, both environments, and what to do.
QString otherEnvironmentText(const QString& folder, const QString& recorded, const QString& ambiente);

}  // namespace norvane

#include "support/ScriptedDialogs.h"

namespace norvane::test {

ScriptedDialogs::ScriptedDialogs() { setDialogs(this); }
ScriptedDialogs::~ScriptedDialogs() { setDialogs(nullptr); }

std::vector<QString> ScriptedDialogs::texts() const {
    std::vector<QString> out;
    for (const auto& box : boxes) out.push_back(box.text);
    return out;
}

void ScriptedDialogs::showError(const QString& text, const QString& caption) {
    boxes.push_back({ShownBox::Error, text, caption});
}
void ScriptedDialogs::showInfo(const QString& text, const QString& caption) {
    boxes.push_back({ShownBox::Info, text, caption});
}

QString ScriptedDialogs::chooseFolder(const QString& title) {
    folderTitles.push_back(title);
    if (folderAnswers.empty()) return QString();
    QString answer = folderAnswers.front();
    folderAnswers.pop_front();
    return answer;
}

QString ScriptedDialogs::chooseOpenFile(const QString& title, const QString& filter) {
    fileRequests.emplace_back(title, filter);
    if (fileAnswers.empty()) return QString();
    QString answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

std::optional<int> ScriptedDialogs::pickCertificate(const QString& title, const QString& prompt,
                                                    const std::vector<CertificateChoice>& choices) {
    picks.push_back({title, prompt, choices});
    if (pickAnswers.empty()) return std::nullopt;
    auto answer = pickAnswers.front();
    pickAnswers.pop_front();
    return answer;
}

std::optional<QString> ScriptedDialogs::askPin(const QString& tokenLabel, const QString& message) {
    pinPrompts.push_back(message.isEmpty() ? tokenLabel : message);
    if (onPinPrompt) onPinPrompt();
    if (pinAnswers.empty()) return std::nullopt;
    const bool given = pinAnswers.front().has_value();
    const QString pin = given ? *pinAnswers.front() : QString();
    pinAnswers.pop_front();
    if (!given) return std::nullopt;
    return pin;
}

}  // namespace norvane::test

namespace norvane::test {

std::optional<QString> ScriptedDialogs::askTokenPin(const PinRequest& request) {
    pinRequests.push_back(request);
    return askPin(request.tokenLabel, request.message);
}

void ScriptedDialogs::pinPadWaiting(const QString& tokenLabel, bool waiting) {
    pinPadNotices.emplace_back(tokenLabel, waiting);
}

}  // namespace norvane::test

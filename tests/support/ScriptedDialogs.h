#pragma once
// Dialogs that answer what the test scripted and record everything that was shown.

#include "core/Dialogs.h"

#include <QString>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace norvane::test {

struct ShownBox {
    enum Kind { Error, Info } kind;
    QString text;
    QString caption;
};

class ScriptedDialogs : public Dialogs {
public:
    ScriptedDialogs();   // installs itself
    ~ScriptedDialogs() override;  // restores the Qt dialogs

    // Answers, consumed in order; when none is left: cancel.
    std::deque<QString> folderAnswers;
    std::deque<QString> fileAnswers;
    std::deque<std::optional<int>> pickAnswers;
    std::deque<std::optional<QString>> pinAnswers;

    // What was shown.
    std::vector<ShownBox> boxes;
    std::vector<QString> folderTitles;
    std::vector<std::pair<QString, QString>> fileRequests;  // title, filter
    struct Pick {
        QString title, prompt;
        std::vector<CertificateChoice> choices;
    };
    std::vector<Pick> picks;
    std::vector<QString> pinPrompts;
    std::vector<PinRequest> pinRequests;               // each PIN prompt as the token layer asked it
    std::vector<std::pair<QString, bool>> pinPadNotices;  // token label, shown or hidden
    std::function<void()> onPinPrompt;  // runs as each PIN prompt is shown

    // Texts of the boxes shown, in order.
    std::vector<QString> texts() const;

    void showError(const QString& text, const QString& caption) override;
    void showInfo(const QString& text, const QString& caption) override;
    QString chooseFolder(const QString& title) override;
    QString chooseOpenFile(const QString& title, const QString& filter) override;
    std::optional<int> pickCertificate(const QString& title, const QString& prompt,
                                       const std::vector<CertificateChoice>& choices) override;
    std::optional<QString> askPin(const QString& tokenLabel, const QString& message) override;
    std::optional<QString> askTokenPin(const PinRequest& request) override;
    void pinPadWaiting(const QString& tokenLabel, bool waiting) override;
};

}  // namespace norvane::test

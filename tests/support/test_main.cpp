// Test entry point: a QApplication for the widgets, then GoogleTest. Started with
// --run-app it runs the program itself with recording dialogs, so that a test can
// start real second processes of the application.

#include "app/Application.h"
#include "core/Dialogs.h"
#include "app/ErrorReport.h"

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

namespace {

// Prints every box to stdout, one line each: "ERROR|caption|text".
class PrintingDialogs : public norvane::Dialogs {
public:
    void showError(const QString& text, const QString& caption) override { print("ERROR", text, caption); }
    void showInfo(const QString& text, const QString& caption) override { print("INFO", text, caption); }
    QString chooseFolder(const QString&) override { return QString(); }
    QString chooseOpenFile(const QString&, const QString&) override { return QString(); }
    std::optional<int> pickCertificate(const QString&, const QString&,
                                       const std::vector<norvane::CertificateChoice>&) override {
        return std::nullopt;
    }
    std::optional<QString> askPin(const QString&, const QString&) override { return std::nullopt; }

private:
    static void print(const char* kind, const QString& text, const QString& caption) {
        std::printf("%s|%s|%s\n", kind, caption.toUtf8().constData(), text.toUtf8().constData());
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--run-app") == 0) {
        static PrintingDialogs printing;
        norvane::setDialogs(&printing);
        std::printf("STARTED\n");
        std::fflush(stdout);
        return norvane::runApplication(argc, argv);
    }
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    norvane::NorvaneApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

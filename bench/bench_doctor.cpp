// The token doctor's report on a token like the demo's (the e-CPF A3 with its intermediate),
// against its target of 3 s, beside the bare reading of the same token's certificates in the
// same run.

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "certs/doctor/TokenDoctor.h"
#include "certs/tokens/TokenAccess.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace norvane::test;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TestPki::instance();
    SoftHsmTokens tokens;
    tokens.addToken("Norvane Demo", {Cert::A3});

    // Each from a fresh load of the modules, as at the program's start.
    norvane::tokens::restoreDefaultModulesForTesting();
    QElapsedTimer clock;
    clock.start();
    const auto read = norvane::tokens::readCertificates(norvane::tokens::Look::Reload);
    const double readMs = double(clock.nsecsElapsed()) / 1e6;

    norvane::tokens::restoreDefaultModulesForTesting();
    clock.restart();
    const QString report = norvane::doctor::diagnosticReport();
    const double reportMs = double(clock.nsecsElapsed()) / 1e6;

    std::printf("certificates read: %zu, report: %lld characters\n", read.size(), static_cast<long long>(report.size()));
    std::printf("token read alone: %.1f ms; doctor's report: %.1f ms (ratio %.2f to the read)\n", readMs, reportMs,
                reportMs / readMs);
    std::printf("doctor's report against its target of 3000 ms: %.3f (target <= 1.000)\n", reportMs / 3000.0);
    return reportMs <= 3000.0 ? 0 : 1;
}

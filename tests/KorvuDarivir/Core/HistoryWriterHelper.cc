// Helper of the history test: adds records to the history in the given folder as fast as
// it can, printing one line after each completed addition, until it is killed.
// Usage: korvu-test-history-writer FOLDER
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Settings.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    korvu::Settings::registerDefaults();
    korvu::HistoryStore store(argv[1]);
    std::printf("loaded %lld\n", static_cast<long long>(store.records().size()));
    std::fflush(stdout);

    // Large records make each write take long enough that a kill often lands inside one.
    const QString filler = QString::fromUtf8("Grüße, „Zitat“ und ein Zeilenumbruch\n").repeated(500);
    for (long long i = 0;; ++i) {
        store.add(QStringLiteral("Diktat %1: ").arg(i) + filler, QStringLiteral("Helfer"));
        std::printf("%lld\n", i);
        std::fflush(stdout);
    }
}

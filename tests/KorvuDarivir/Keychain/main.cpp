// The keychain suite. Started with "--keychain-child TIMEOUT_MS" the program is instead the
// child that the no-service tests run with another session bus address: it reads, writes
// and deletes the key once each and prints what the keychain answered.
#include "KorvuDarivir/Store/Keychain.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

int runChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::chrono::milliseconds timeout(std::atoi(argv[2]));
    using korvu::Keychain;
    const auto value = Keychain::get(Keychain::Account::anthropicAPIKey, timeout);
    std::printf("get=%s\n", value ? qPrintable(*value) : "none");
    std::printf("set=%d\n", Keychain::set(QStringLiteral("sk-child"), Keychain::Account::anthropicAPIKey, timeout) ? 1 : 0);
    std::printf("delete=%d\n", Keychain::set(std::nullopt, Keychain::Account::anthropicAPIKey, timeout) ? 1 : 0);
    std::fflush(stdout);
    // A job may still wait on a service that never answers; don't wait for it at exit.
    ::_exit(0);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--keychain-child") == 0) {
        return runChild(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

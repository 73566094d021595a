// The keychain suite. Started with "--keychain-child TIMEOUT_MS" the program is instead the
// child that the no-service tests run with another session bus address: it reads, writes
// and deletes the key once each and prints what the keychain answered.
#include "KeyStoreCalls.h"

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
    const auto store = korvu::KeyStore::secretService(korvu::KeyStore::secretServiceBackend(timeout));
    const auto reading = keychaintest::readKey(*store);
    std::printf("get=%s\n", reading.status == korvu::KeyStatus::found ? qPrintable(reading.value) : "none");
    std::printf("set=%d\n", keychaintest::writeKey(*store, QStringLiteral("sk-child")) ? 1 : 0);
    std::printf("delete=%d\n", keychaintest::writeKey(*store, std::nullopt) ? 1 : 0);
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

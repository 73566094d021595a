// The suite runs in a private home: the settings file and the support directory (with the
// models the tests download or place there) lie in a temporary folder made here, before
// anything reads the environment. Each test cleans both at its start.
#include "TranscriberTestSupport.h"
#include "support/FakeHub.h"
#include "support/PrivateHome.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>

#include <unistd.h>

namespace {

// Quits while the model downloads ("download", the hub holding its last file), while it is
// being built ("load") or while a transcription runs ("transcribe"), as a user does who
// closes the application at that moment; the transcriber goes before the program ends, as
// the application's delegate takes it along. Prints "quit" and exits 0 when the teardown
// was clean; a fault shows as a crash or a hang.
int runQuitProbe(int argc, char** argv, const std::string& phase, const char* variant)
{
    QCoreApplication app(argc, argv);
    korvu::Settings::registerDefaults();
    testsupport::FakeHub hub;  // outlives the transcriber
    if (phase == "download") {
        hub.addFolder(korvu::Transcriber::repositoryId, std::filesystem::path(variant).parent_path());
        hub.hold(std::string(korvu::Transcriber::variantName) + "/" + korvu::Transcriber::presenceMarker +
                 "/weights.safetensors");
        qputenv("HUB_ENDPOINT", hub.endpoint().c_str());
    } else {
        transcribertest::installTinyVariant(variant);
    }
    {
        korvu::Transcriber transcriber;
        transcriber.load();
        if (phase == "download" && !testsupport::spinUntil([&] { return hub.holding(); })) return 3;
        if (phase == "transcribe") {
            if (!testsupport::spinUntil([&] { return transcriber.isReady(); })) return 3;
            std::vector<float> noise(16000 * 120);  // two minutes: many windows of work
            std::mt19937 random(7);
            std::uniform_real_distribution<float> level(-0.3f, 0.3f);
            for (float& sample : noise) sample = level(random);
            transcriber.transcribe(std::move(noise), QStringLiteral("de"), {}, {});
            testsupport::spinFor(std::chrono::milliseconds(30));
        }
    }
    std::printf("quit\n");
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // The tiny models' products are far too small to share among threads, and on a busy
    // machine spinning OpenMP threads would only wait for each other. OpenMP reads its
    // settings when the program loads, so the program starts itself again with them.
    if (const char* threads = std::getenv("OMP_NUM_THREADS"); threads == nullptr || std::strcmp(threads, "1") != 0) {
        ::setenv("OMP_NUM_THREADS", "1", 1);
        ::execv("/proc/self/exe", argv);
        return 2;
    }
    const testsupport::PrivateHome home;
    // The loopback hub is the only network the tests use; the hub client must not decide
    // it is offline because the machine has no other interface up.
    qputenv("CI_DISABLE_NETWORK_MONITOR", "1");
    if (argc == 4 && std::strcmp(argv[1], "--quit-probe") == 0) return runQuitProbe(argc, argv, argv[2], argv[3]);
    qunsetenv("HUB_TOKEN");
    qunsetenv("MODEL_HUB_TOKEN");
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

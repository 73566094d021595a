// The recorder needs a Qt application object, as in the real program. The same binary
// doubles as the "no sound server" probe, because Qt Multimedia connects to the server
// once per process and the probe therefore needs a process of its own.
#include <QCoreApplication>

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "KorvuDarivir/AudioDevices.h"
#include "KorvuDarivir/AudioRecorder.h"

namespace {

// Prints what a user without a sound server would meet; exits 0 when that is an empty
// device list, no default name and RecorderError from start().
int runNoServerProbe(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const auto devices = korvu::AudioDevices::inputDevices();
    const auto defaultName = korvu::AudioDevices::defaultInputName();
    std::printf("devices=%zu default=%s\n", devices.size(), defaultName ? defaultName->c_str() : "<none>");
    korvu::AudioRecorder recorder;
    try {
        recorder.start(std::nullopt);
        std::printf("start=succeeded\n");
        return 1;
    } catch (const korvu::RecorderError& error) {
        std::printf("start=RecorderError:%s\n", error.what());
    } catch (const std::exception& error) {
        std::printf("start=other:%s\n", error.what());
        return 1;
    }
    const auto samples = recorder.stop();
    std::printf("samples=%zu\n", samples.size());
    return devices.empty() && !defaultName && samples.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--no-server-probe") == 0) return runNoServerProbe(argc, argv);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The recorder runs under a Qt application object, as in the real program. The same
// binary doubles as two probes that need a process of their own: the "no sound server"
// probe (pointed at a server that does not exist) and the "record and quit" probe
// (faults in tearing down the sound connections only show when a process exits).
#include <QCoreApplication>

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "KorvuDarivir/Dictation/AudioDevices.h"
#include "KorvuDarivir/Dictation/AudioRecorder.h"

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

// Records briefly from the default input and quits at once, as a user does who closes
// the application right after a dictation. Exits 0 when it recorded and quit cleanly;
// a fault in the teardown shows as a crash or an abort of this process.
int runRecordAndQuitProbe(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    korvu::AudioRecorder recorder;
    try {
        recorder.start(std::nullopt);
    } catch (const std::exception& error) {
        std::printf("start=failed:%s\n", error.what());
        return 1;
    }
    recorder.stop();
    std::printf("recorded\n");
    // And a start still opening the input when the program ends: the recorder's worker
    // finishes it and closes the input before the recorder goes.
    recorder.start(std::nullopt, &app, [](std::exception_ptr) {});
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--no-server-probe") == 0) return runNoServerProbe(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--record-and-quit-probe") == 0) return runRecordAndQuitProbe(argc, argv);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

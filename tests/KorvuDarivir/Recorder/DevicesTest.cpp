// The device list against the test session's PulseAudio server: "vmic" (a pipe source,
// the default) and "vmon" (wrapping the null sink's monitor).
#include <algorithm>
#include <cstdlib>
#include <set>
#include <fstream>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "AudioFeed.h"
#include "KorvuDarivir/Dictation/AudioDevices.h"
#include "support/TempDir.h"

using korvu::AudioDevices;
using korvu::AudioInputDevice;

namespace {

class AudioDevicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(recordertest::sessionFifo().empty()) << "run inside scripts/with-test-session.sh";
    }
};

const AudioInputDevice* find(const std::vector<AudioInputDevice>& devices, const std::string& id) {
    const auto it = std::find_if(devices.begin(), devices.end(), [&](const auto& d) { return d.id == id; });
    return it == devices.end() ? nullptr : &*it;
}

// Sets the server's default source for one test and puts "vmic" back afterwards.
struct DefaultSource {
    explicit DefaultSource(const std::string& name) { ok = std::system(("pactl set-default-source " + name).c_str()) == 0; }
    ~DefaultSource() { EXPECT_EQ(std::system("pactl set-default-source vmic"), 0); }
    bool ok = false;
};

}  // namespace

TEST_F(AudioDevicesTest, ListsTheSessionsMicrophonesWithIdsAndNames) {
    const auto devices = AudioDevices::inputDevices();
    const auto* mic = find(devices, "vmic");
    const auto* monitor = find(devices, "vmon");
    ASSERT_NE(mic, nullptr);
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(mic->name, "VirtualMic");
    EXPECT_EQ(monitor->name, "VirtualFromSink");
    // The sink itself has no input and is never listed, nor is its bare monitor.
    EXPECT_EQ(find(devices, "vsink"), nullptr);
    EXPECT_EQ(find(devices, "vsink.monitor"), nullptr);
    std::set<uint32_t> ids;
    for (const auto& device : devices) ids.insert(device.deviceID);
    EXPECT_EQ(ids.size(), devices.size()) << "device ids are unique within one listing";
}

TEST_F(AudioDevicesTest, FindsADeviceByItsExactUid) {
    const auto devices = AudioDevices::inputDevices();
    const auto* mic = find(devices, "vmic");
    ASSERT_NE(mic, nullptr);
    EXPECT_EQ(AudioDevices::deviceID("vmic"), mic->deviceID);
    EXPECT_FALSE(AudioDevices::deviceID("VMIC").has_value());
    EXPECT_FALSE(AudioDevices::deviceID("vmic ").has_value());
    EXPECT_FALSE(AudioDevices::deviceID("").has_value());
    EXPECT_FALSE(AudioDevices::deviceID("BuiltInMicrophoneDevice").has_value());
}

TEST_F(AudioDevicesTest, TheDefaultIsTheServersDefaultSource) {
    EXPECT_EQ(AudioDevices::defaultInputName(), "VirtualMic");
    {
        DefaultSource other("vmon");
        ASSERT_TRUE(other.ok);
        EXPECT_EQ(AudioDevices::defaultInputName(), "VirtualFromSink");
    }
    EXPECT_EQ(AudioDevices::defaultInputName(), "VirtualMic");
}

TEST_F(AudioDevicesTest, FollowsDevicesThatComeAndGo) {
    testsupport::TempDir dir;
    recordertest::PulseModule module("module-pipe-source source_name=korvu_test_plug file=" + (dir / "plug.fifo").string() +
                                     " format=s16le rate=44100 channels=2 source_properties=device.description=PlugMic");
    ASSERT_TRUE(module.loaded());
    ASSERT_TRUE(recordertest::waitForDevice("korvu_test_plug", true));
    const auto devices = AudioDevices::inputDevices();
    const auto* plugged = find(devices, "korvu_test_plug");
    ASSERT_NE(plugged, nullptr);
    EXPECT_EQ(plugged->name, "PlugMic");
    module.unload();
    ASSERT_TRUE(recordertest::waitForDevice("korvu_test_plug", false));
    EXPECT_NE(find(AudioDevices::inputDevices(), "vmic"), nullptr);
}

TEST_F(AudioDevicesTest, DevicesCompareAndHashOverAllFields) {
    const AudioInputDevice a{"vmic", "VirtualMic", 1};
    EXPECT_EQ(a, (AudioInputDevice{"vmic", "VirtualMic", 1}));
    EXPECT_NE(a, (AudioInputDevice{"vmic", "VirtualMic", 2}));
    EXPECT_NE(a, (AudioInputDevice{"vmic", "Other", 1}));
    EXPECT_EQ(std::hash<AudioInputDevice>{}(a), std::hash<AudioInputDevice>{}(AudioInputDevice{"vmic", "VirtualMic", 1}));
}

TEST(AudioDevicesWithoutServer, StartGivesRecorderErrorWithoutACrash) {
    testsupport::TempDir dir;
    {
        std::ofstream config(dir / "client.conf");
        config << "autospawn = no\n";
    }
    // The case runs in a child process of this same program, pointed at a socket that
    // does not exist, so that it cannot disturb the server the other cases use.
    const std::string command = "PULSE_SERVER=unix:" + (dir / "no-such-server").string() +
                                " PULSE_CLIENTCONFIG=" + (dir / "client.conf").string() +
                                " /proc/" + std::to_string(::getpid()) + "/exe --no-server-probe 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status)) << "the probe crashed:\n" << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("devices=0 default=<none>"), std::string::npos) << output;
    EXPECT_NE(output.find("start=RecorderError:Kein Mikrofon gefunden."), std::string::npos) << output;
}

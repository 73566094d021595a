#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// Real speech for the audio tests: espeak-ng speaks the text (at `wordsPerMinute`, its own
// pace by default) and sox converts it to a 16-bit mono WAV file at the given rate. Throws
// when either program fails.
void speakToWav(const std::string& text, const std::filesystem::path& wavPath, int sampleRate = 16000,
                const std::string& voice = "de", int wordsPerMinute = 175);

// A steady sound as sox's synth makes it, `kind` being its type and arguments ("pinknoise",
// "brownnoise", "sine 120", ...), shaped by sox's `effects` if given (e.g. "lowpass 6000"), 16 kHz mono, the same on every run, scaled to a
// root mean square of `dbfs` decibels below full scale. Throws when sox fails.
std::vector<float> roomNoise(const std::string& kind, double dbfs, double seconds, const std::string& effects = "");

// `samples` (16 kHz) through a gate in the microphone chain, as a noise gate or a noise
// suppressor's voice threshold gives it: each 10 ms whose loudness is at or below
// `thresholdDbfs` becomes exact zeros, unless it falls within `holdMs` after the last 10 ms
// above the threshold.
std::vector<float> throughGate(std::vector<float> samples, double thresholdDbfs, int holdMs);

// A 16-bit mono PCM WAV file (as speakToWav and writeWav write them) as float samples
// in [-1, 1]. Throws for any other encoding.
struct WavAudio {
    int sampleRate = 0;
    std::vector<float> samples;
};
WavAudio readWav(const std::filesystem::path& wavPath);

// Writes mono float samples as a 16-bit PCM WAV file.
void writeWav(const std::filesystem::path& wavPath, const std::vector<float>& samples, int sampleRate);

// Runs a shell command and returns its exit status (its output goes to the test log).
int runCommand(const std::string& command);

}  // namespace testsupport

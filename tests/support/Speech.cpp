#include "support/Speech.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

uint32_t readU32(const char* p) {
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

uint16_t readU16(const char* p) {
    uint16_t value;
    std::memcpy(&value, p, 2);
    return value;
}

}  // namespace

int runCommand(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void speakToWav(const std::string& text, const std::filesystem::path& wavPath, int sampleRate, const std::string& voice) {
    const std::string raw = wavPath.string() + ".espeak.wav";
    if (runCommand("espeak-ng -v " + quoted(voice) + " -w " + quoted(raw) + " " + quoted(text)) != 0)
        throw std::runtime_error("espeak-ng failed for: " + text);
    const int status = runCommand("sox " + quoted(raw) + " -r " + std::to_string(sampleRate) +
                                  " -c 1 -b 16 -e signed-integer " + quoted(wavPath.string()));
    std::filesystem::remove(raw);
    if (status != 0) throw std::runtime_error("sox failed converting " + raw);
}

WavAudio readWav(const std::filesystem::path& wavPath) {
    std::ifstream in(wavPath, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + wavPath.string());
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 12 || data.compare(0, 4, "RIFF") != 0 || data.compare(8, 4, "WAVE") != 0)
        throw std::runtime_error("not a WAV file: " + wavPath.string());
    int channels = 0, bits = 0, format = 0;
    WavAudio audio;
    size_t pos = 12;
    while (pos + 8 <= data.size()) {
        const std::string id = data.substr(pos, 4);
        const uint32_t size = readU32(data.data() + pos + 4);
        const char* body = data.data() + pos + 8;
        const size_t available = std::min<size_t>(size, data.size() - pos - 8);
        if (id == "fmt " && available >= 16) {
            format = readU16(body);
            channels = readU16(body + 2);
            audio.sampleRate = static_cast<int>(readU32(body + 4));
            bits = readU16(body + 14);
            if (format == 0xFFFE && available >= 26) format = readU16(body + 24);
        } else if (id == "data") {
            if (channels <= 0) throw std::runtime_error("WAV data before format: " + wavPath.string());
            const size_t frameBytes = static_cast<size_t>(channels) * (bits / 8);
            const size_t frames = available / frameBytes;
            audio.samples.resize(frames);
            for (size_t f = 0; f < frames; ++f) {
                float sum = 0;
                for (int c = 0; c < channels; ++c) {
                    const char* s = body + f * frameBytes + static_cast<size_t>(c) * (bits / 8);
                    if (format == 1 && bits == 16) sum += static_cast<int16_t>(readU16(s)) / 32768.0f;
                    else if (format == 3 && bits == 32) {
                        float v;
                        std::memcpy(&v, s, 4);
                        sum += v;
                    } else throw std::runtime_error("unsupported WAV encoding: " + wavPath.string());
                }
                audio.samples[f] = sum / static_cast<float>(channels);
            }
            return audio;
        }
        pos += 8 + size + (size & 1);
    }
    throw std::runtime_error("WAV file without data: " + wavPath.string());
}

void writeWav(const std::filesystem::path& wavPath, const std::vector<float>& samples, int sampleRate) {
    std::ofstream out(wavPath, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(static_cast<uint32_t>(sampleRate));
    u32(static_cast<uint32_t>(sampleRate) * 2);
    u16(2);
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    for (float s : samples) {
        const float clamped = std::clamp(s, -1.0f, 1.0f);
        u16(static_cast<uint16_t>(static_cast<int16_t>(clamped * 32767.0f)));
    }
    if (!out) throw std::runtime_error("cannot write " + wavPath.string());
}

}  // namespace testsupport

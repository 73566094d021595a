#include "support/Speech.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
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
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

template <class T>
T readAt(const std::string& data, std::size_t position) {
    T value;
    std::memcpy(&value, data.data() + position, sizeof value);
    return value;
}

// The canonical 44-byte header of a 16-bit mono PCM file.
struct WavHeader {
    char riff[4] = {'R', 'I', 'F', 'F'};
    std::uint32_t riffSize;
    char waveFmt[8] = {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    std::uint32_t fmtSize = 16;
    std::uint16_t format = 1, channels = 1;
    std::uint32_t sampleRate, byteRate;
    std::uint16_t blockAlign = 2, bits = 16;
    char data[4] = {'d', 'a', 't', 'a'};
    std::uint32_t dataSize;
};
static_assert(sizeof(WavHeader) == 44);

}  // namespace

int runCommand(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void speakToWav(const std::string& text, const std::filesystem::path& wavPath, int sampleRate, const std::string& voice,
                int wordsPerMinute) {
    const std::string raw = wavPath.string() + ".espeak.wav";
    if (runCommand("espeak-ng -s " + std::to_string(wordsPerMinute) + " -v " + quoted(voice) + " -w " + quoted(raw) + " " + quoted(text)) != 0)
        throw std::runtime_error("espeak-ng failed for: " + text);
    const int status = runCommand("sox " + quoted(raw) + " -r " + std::to_string(sampleRate) +
                                  " -c 1 -b 16 -e signed-integer " + quoted(wavPath.string()));
    std::filesystem::remove(raw);
    if (status != 0) throw std::runtime_error("sox failed converting " + raw);
}

std::vector<float> roomNoise(const std::string& kind, double dbfs, double seconds, const std::string& effects) {
    std::string name = kind;
    std::replace_if(name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '-');
    const std::filesystem::path wav = std::filesystem::temp_directory_path() /
                                      ("korvu-noise-" + std::to_string(::getpid()) + "-" + name + ".wav");
    // -R: the same noise on every run, so a verdict never depends on the draw.
    const int status = runCommand("sox -R -n -r 16000 -b 16 -c 1 " + quoted(wav.string()) + " synth " +
                                  std::to_string(seconds) + " " + kind + " vol 0.5 " + effects);
    if (status != 0) throw std::runtime_error("sox failed making " + kind);
    std::vector<float> samples = readWav(wav).samples;
    std::filesystem::remove(wav);
    double power = 0;
    for (const float s : samples) power += static_cast<double>(s) * s;
    const double gain = std::pow(10.0, dbfs / 20) / std::sqrt(power / static_cast<double>(samples.size()));
    for (float& s : samples) s = static_cast<float>(s * gain);
    return samples;
}

std::vector<float> throughGate(std::vector<float> samples, double thresholdDbfs, int holdMs) {
    constexpr std::size_t kPiece = 160;  // 10 ms at 16 kHz
    const double threshold = std::pow(10.0, thresholdDbfs / 20);
    std::size_t openUntil = 0;
    for (std::size_t start = 0; start < samples.size(); start += kPiece) {
        const std::size_t end = std::min(samples.size(), start + kPiece);
        double power = 0;
        for (std::size_t i = start; i < end; ++i) power += static_cast<double>(samples[i]) * samples[i];
        if (std::sqrt(power / static_cast<double>(end - start)) > threshold)
            openUntil = end + static_cast<std::size_t>(holdMs) * 16;
        else if (start >= openUntil)
            std::fill(samples.begin() + static_cast<std::ptrdiff_t>(start), samples.begin() + static_cast<std::ptrdiff_t>(end), 0.0f);
    }
    return samples;
}

WavAudio readWav(const std::filesystem::path& wavPath) {
    std::ifstream in(wavPath, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 12 || data.compare(0, 4, "RIFF") != 0 || data.compare(8, 4, "WAVE") != 0)
        throw std::runtime_error("not a WAV file: " + wavPath.string());
    WavAudio audio;
    int channels = 0, bits = 0;
    // Chunks in any order and with any extras: only "fmt " and "data" matter.
    for (std::size_t position = 12; position + 8 <= data.size();) {
        const auto size = readAt<std::uint32_t>(data, position + 4);
        const std::size_t available = std::min<std::size_t>(size, data.size() - position - 8);
        if (data.compare(position, 4, "fmt ") == 0 && available >= 16) {
            channels = readAt<std::uint16_t>(data, position + 10);
            audio.sampleRate = static_cast<int>(readAt<std::uint32_t>(data, position + 12));
            bits = readAt<std::uint16_t>(data, position + 22);
        } else if (data.compare(position, 4, "data") == 0) {
            if (channels != 1 || bits != 16) throw std::runtime_error("not 16-bit mono: " + wavPath.string());
            for (std::size_t i = 0; i + 1 < available; i += 2)
                audio.samples.push_back(readAt<std::int16_t>(data, position + 8 + i) / 32768.0f);
            return audio;
        }
        position += 8 + size + (size & 1);
    }
    throw std::runtime_error("WAV file without data: " + wavPath.string());
}

void writeWav(const std::filesystem::path& wavPath, const std::vector<float>& samples, int sampleRate) {
    std::vector<std::int16_t> pcm;
    for (const float s : samples) pcm.push_back(static_cast<std::int16_t>(std::clamp(s, -1.0f, 1.0f) * 32767.0f));
    WavHeader header;
    header.dataSize = static_cast<std::uint32_t>(pcm.size() * 2);
    header.riffSize = 36 + header.dataSize;
    header.sampleRate = static_cast<std::uint32_t>(sampleRate);
    header.byteRate = header.sampleRate * 2;
    std::ofstream out(wavPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    out.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(header.dataSize));
    if (!out) throw std::runtime_error("cannot write " + wavPath.string());
}

}  // namespace testsupport

#pragma once

#include "KorvuDarivir/Dictation/Transcriber.h"
#include "KorvuDarivir/Store/ModelState.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"
#include "TestPaths.h"
#include "support/QtWait.h"
#include "support/Speech.h"
#include "support/TempDir.h"

#include <filesystem>
#include <map>
#include <ostream>
#include <stdexcept>
#include <vector>

namespace korvu {
// Readable states in failure messages.
inline void PrintTo(const ModelState& state, std::ostream* out)
{
    const char* names[] = {"downloading", "preparing", "failed", "notLoaded", "ready"};
    *out << names[static_cast<int>(state.kind())] << "(" << state.progress() << ", firstTime " << state.firstTime()
         << ", \"" << state.message().toStdString() << "\")";
}
}  // namespace korvu

namespace transcribertest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using korvu::ModelState;
using korvu::Transcriber;
using testsupport::spinFor;
using testsupport::spinUntil;

// A tiny model variant written once per test program by the darivir-model tool, in a
// folder named like the application's variant, so a hub can serve its parent.
inline const fs::path& tinyVariant()
{
    static testsupport::TempDir dir;
    static const fs::path folder = [] {
        const fs::path path = dir / "hub" / Transcriber::variantName;
        fs::create_directories(path.parent_path());
        const std::string command =
            std::string(testsupport::kBinDir) + "/darivir-model tiny --seed 7 --out '" + path.string() + "'";
        if (testsupport::runCommand(command) != 0) throw std::runtime_error("the model tool failed: " + command);
        return path;
    }();
    return folder;
}

// Puts the whole tiny variant where the application looks for its model.
inline void installTinyVariant(const fs::path& from = tinyVariant())
{
    fs::create_directories(Transcriber::modelDirectory().parent_path());
    fs::copy(from, Transcriber::modelDirectory(), fs::copy_options::recursive);
}

// A fresh user: no stored settings, no models in the support directory.
inline void resetUserData()
{
    platform::UserDefaults::standard().removeAllStoredValues();
    korvu::Settings::registerDefaults();
    std::error_code ignored;
    fs::remove_all(Transcriber::modelsBaseDirectory(), ignored);
}

// The speech of `text` (espeak-ng, German voice) as 16 kHz samples, made once per text.
inline const std::vector<float>& speech(const std::string& text)
{
    static testsupport::TempDir dir;
    static std::map<std::string, std::vector<float>> cache;
    std::vector<float>& samples = cache[text];
    if (samples.empty()) {
        const fs::path wav = dir / ("speech" + std::to_string(cache.size()) + ".wav");
        testsupport::speakToWav(text, wav);
        samples = testsupport::readWav(wav).samples;
    }
    return samples;
}

}  // namespace transcribertest

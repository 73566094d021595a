#include "TranscriberTestSupport.h"

#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Dictation/Transcriber.h"
#include "Platform/Defaults/UserDefaults.h"

#include "TestPaths.h"
#include "support/Speech.h"
#include "support/TempDir.h"

#include <map>
#include <stdexcept>

namespace korvu {

void PrintTo(const ModelState& state, std::ostream* out)
{
    const char* names[] = {"downloading", "preparing", "failed", "notLoaded", "ready"};
    *out << names[static_cast<int>(state.kind())] << "(" << state.progress() << ", firstTime " << state.firstTime()
         << ", \"" << state.message().toStdString() << "\")";
}

}  // namespace korvu

namespace transcribertest {

namespace fs = std::filesystem;

const fs::path& tinyVariant()
{
    static testsupport::TempDir dir;
    static const fs::path folder = [] {
        const fs::path path = dir / "hub" / korvu::Transcriber::variantName;
        fs::create_directories(path.parent_path());
        const std::string command =
            std::string(testsupport::kBinDir) + "/darivir-model tiny --seed 7 --out '" + path.string() + "'";
        if (testsupport::runCommand(command) != 0) {
            throw std::runtime_error("the model tool failed: " + command);
        }
        return path;
    }();
    return folder;
}

fs::path tinyHubRoot() { return tinyVariant().parent_path(); }

void copyFolder(const fs::path& from, const fs::path& to)
{
    fs::create_directories(to.parent_path());
    fs::copy(from, to, fs::copy_options::recursive);
}

void resetUserData()
{
    platform::UserDefaults::standard().removeAllStoredValues();
    korvu::Settings::registerDefaults();
    std::error_code ignored;
    fs::remove_all(korvu::Transcriber::modelsBaseDirectory(), ignored);
}

const std::vector<float>& speech(const std::string& text)
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

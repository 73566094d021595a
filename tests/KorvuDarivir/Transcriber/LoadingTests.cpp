// Loading: presence test, download with progress, preparation, failures and retries,
// against a tiny model served by a loopback hub.
#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/Vocarion.h"

#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Dictation/Transcriber.h"
#include "Platform/Defaults/UserDefaults.h"

#include "support/FakeHub.h"
#include "TranscriberTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <vector>

namespace transcribertest {
namespace {

namespace fs = std::filesystem;
using korvu::ModelState;
using korvu::Transcriber;

bool modelPrepared()
{
    return platform::UserDefaults::standard().boolean(QString::fromLatin1(korvu::Settings::modelPreparedKey));
}

// The message the engine itself gives when built from `folder` as the transcriber builds it.
std::string engineMessage(const fs::path& folder)
{
    try {
        vocarion::Vocarion engine(Transcriber::engineConfiguration(folder));
    } catch (const std::exception& error) {
        return error.what();
    }
    return {};
}

// True once the download has put every file of the variant in place.
bool downloadComplete()
{
    const fs::path encoder = Transcriber::modelDirectory() / Transcriber::presenceMarker;
    if (!fs::exists(encoder / "weights.safetensors") || !fs::exists(encoder / "model.json")) {
        return false;
    }
    for (const auto& entry : fs::recursive_directory_iterator(Transcriber::modelDirectory())) {
        if (entry.path().extension() == ".incomplete") {
            return false;
        }
    }
    return true;
}

// Every file of the variant was fetched exactly once.
void expectEachFileDownloadedOnce(const testsupport::FakeHub& hub)
{
    std::multiset<std::string> fetched;
    for (const std::string& path : hub.fileDownloads(Transcriber::repositoryId)) {
        fetched.insert(path);
    }
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(tinyVariant())) {
        if (entry.is_regular_file()) {
            ++files;
            const std::string path = std::string(Transcriber::variantName) + "/" +
                                     fs::relative(entry.path(), tinyVariant()).generic_string();
            EXPECT_EQ(fetched.count(path), 1u) << path;
        }
    }
    EXPECT_EQ(fetched.size(), files);
}

class TranscriberLoading : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetUserData();
        tinyVariant();
        transcriber = std::make_unique<Transcriber>();
        transcriber->setOnStateChange([this](const ModelState& state) {
            states.push_back(state);
            loadingAtChange.push_back(transcriber->isLoading());
            preparedAtChange.push_back(modelPrepared());
        });
    }

    void TearDown() override { qunsetenv("HF_ENDPOINT"); }

    void useHub(const testsupport::FakeHub& hub) { qputenv("HF_ENDPOINT", hub.endpoint().c_str()); }
    // The hub serves the tiny variant and holds the GET of `heldFile` until released.
    void serveTinyVariantHolding(testsupport::FakeHub& hub, const std::string& heldFile)
    {
        hub.addFolder(Transcriber::repositoryId, tinyHubRoot());
        hub.hold(heldFile);
        useHub(hub);
    }

    bool finishes() { return spinUntil([this] { return !transcriber->isLoading(); }); }

    std::unique_ptr<Transcriber> transcriber;
    std::vector<ModelState> states;
    std::vector<bool> loadingAtChange;
    std::vector<bool> preparedAtChange;
};

TEST_F(TranscriberLoading, ModelLocationAndPresenceTest)
{
    const fs::path expected = korvu::Settings::supportDirectory() / "Models" / "models" / "bexmorinc" /
                              "vocarion-coreml" / "openai_darivir-large-v3-v20240930_turbo_632MB";
    EXPECT_EQ(Transcriber::modelDirectory(), expected);
    EXPECT_EQ(Transcriber::modelsBaseDirectory(), korvu::Settings::supportDirectory() / "Models");
    EXPECT_FALSE(Transcriber::isModelPresent());

    // Only the marker counts, and a plain file named like it does too.
    fs::create_directories(expected / "TextDecoder.mlmodelc");
    EXPECT_FALSE(Transcriber::isModelPresent());
    std::ofstream(expected / "AudioEncoder.mlmodelc") << "x";
    EXPECT_TRUE(Transcriber::isModelPresent());
    fs::remove(expected / "AudioEncoder.mlmodelc");
    fs::create_directories(expected / "AudioEncoder.mlmodelc");
    EXPECT_TRUE(Transcriber::isModelPresent());
}

TEST_F(TranscriberLoading, DownloadsAnAbsentModelWithProgressThenPreparesIt)
{
    testsupport::FakeHub hub;
    hub.addFolder(Transcriber::repositoryId, tinyHubRoot());
    useHub(hub);
    EXPECT_EQ(transcriber->state(), ModelState::notLoaded);

    transcriber->load();
    // The download starts at once, before the call returns.
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states.front(), ModelState::downloading(0.0));
    EXPECT_TRUE(transcriber->isLoading());

    ASSERT_TRUE(finishes());
    ASSERT_EQ(transcriber->state(), ModelState::ready);
    EXPECT_TRUE(transcriber->isReady());
    EXPECT_TRUE(Transcriber::isModelPresent());
    EXPECT_TRUE(fs::exists(Transcriber::modelDirectory() / "TextDecoder.mlmodelc" / "weights.safetensors"));
    expectEachFileDownloadedOnce(hub);

    // downloading(0), the reported fractions, then preparing for the first time and ready.
    ASSERT_GE(states.size(), 4u);
    const size_t last = states.size() - 1;
    EXPECT_EQ(states[last - 1], ModelState::preparing(true));
    EXPECT_EQ(states[last], ModelState::ready);
    double previous = 0.0;
    for (size_t i = 1; i + 1 < last; ++i) {
        ASSERT_EQ(states[i].kind(), ModelState::Kind::downloading) << i;
        EXPECT_GE(states[i].progress(), previous);
        EXPECT_LE(states[i].progress(), 1.0);
        previous = states[i].progress();
    }
    EXPECT_GT(previous, 0.0);
    // An equal report calls nobody: no two neighbours are equal.
    for (size_t i = 1; i < states.size(); ++i) {
        EXPECT_FALSE(states[i] == states[i - 1]) << i;
    }
    // "modelPrepared" is stored before ready is reported, and loading ends after it.
    EXPECT_FALSE(preparedAtChange[last - 1]);
    EXPECT_TRUE(preparedAtChange[last]);
    EXPECT_TRUE(loadingAtChange[last]);
    EXPECT_TRUE(modelPrepared());
}

TEST_F(TranscriberLoading, LoadWhileLoadingOrLoadedChangesNothing)
{
    testsupport::FakeHub hub;
    serveTinyVariantHolding(hub, std::string(Transcriber::variantName) + "/config.json");

    transcriber->load();
    ASSERT_TRUE(spinUntil([&] { return hub.holding(); }));
    const size_t seen = states.size();
    transcriber->load();
    transcriber->load();
    EXPECT_EQ(states.size(), seen);
    EXPECT_TRUE(transcriber->isLoading());
    hub.release();

    ASSERT_TRUE(finishes());
    ASSERT_EQ(transcriber->state(), ModelState::ready);
    // One download only.
    expectEachFileDownloadedOnce(hub);

    const size_t downloads = hub.fileDownloads(Transcriber::repositoryId).size();
    const int listings = hub.listings(Transcriber::repositoryId);
    const size_t reported = states.size();
    transcriber->load();
    EXPECT_FALSE(transcriber->isLoading());
    spinFor(std::chrono::milliseconds(100));
    EXPECT_EQ(states.size(), reported);
    EXPECT_EQ(transcriber->state(), ModelState::ready);
    EXPECT_EQ(hub.fileDownloads(Transcriber::repositoryId).size(), downloads);
    EXPECT_EQ(hub.listings(Transcriber::repositoryId), listings);
}

TEST_F(TranscriberLoading, ReportsAfterTheTranscriberIsGoneAreDropped)
{
    testsupport::FakeHub hub;
    serveTinyVariantHolding(hub, std::string(Transcriber::variantName) + "/config.json");

    transcriber->load();
    ASSERT_TRUE(spinUntil([&] { return hub.holding(); }));
    spinFor(std::chrono::milliseconds(50));
    const size_t seen = states.size();
    transcriber.reset();
    hub.release();

    // The download goes on to its end and reports progress and its folder to nobody.
    ASSERT_TRUE(spinUntil(downloadComplete));
    spinFor(std::chrono::milliseconds(300));
    EXPECT_EQ(states.size(), seen);
    EXPECT_FALSE(modelPrepared());
}

TEST_F(TranscriberLoading, AnUnfinishedDownloadNeverLooksPresent)
{
    // The encoder's weights are the very last file; while they are held the folder must
    // not pass the presence test, or a kill now would leave a model that is never
    // downloaded again.
    testsupport::FakeHub hub;
    serveTinyVariantHolding(hub, std::string(Transcriber::variantName) + "/" + Transcriber::presenceMarker + "/weights.safetensors");

    transcriber->load();
    ASSERT_TRUE(spinUntil([&] { return hub.holding(); }));
    EXPECT_FALSE(Transcriber::isModelPresent());
    EXPECT_EQ(transcriber->state().kind(), ModelState::Kind::downloading);
    hub.release();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(transcriber->state(), ModelState::ready);
    EXPECT_TRUE(Transcriber::isModelPresent());
}

TEST_F(TranscriberLoading, FailedDownloadReportsTheEngineMessageAndARetryStartsOver)
{
    testsupport::TempDir wrongRoot;
    fs::create_directories(wrongRoot / "openai_darivir-tiny");
    std::ofstream(wrongRoot / "openai_darivir-tiny" / "config.json") << "{}";
    testsupport::FakeHub wrongHub;
    wrongHub.addFolder(Transcriber::repositoryId, wrongRoot.path());
    useHub(wrongHub);

    std::string expected;
    try {
        vocarion::Vocarion::download(Transcriber::variantName, Transcriber::modelsBaseDirectory(), false,
                                     Transcriber::repositoryId, std::nullopt, wrongHub.endpoint());
    } catch (const std::exception& error) {
        expected = error.what();
    }
    ASSERT_FALSE(expected.empty());

    transcriber->load();
    ASSERT_TRUE(finishes());
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0], ModelState::downloading(0.0));
    EXPECT_EQ(states[1], ModelState::failed(QString::fromStdString(expected)));
    EXPECT_FALSE(transcriber->isReady());
    EXPECT_FALSE(modelPrepared());

    // The same hub again: another download, another failure.
    transcriber->load();
    ASSERT_TRUE(finishes());
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[2], ModelState::downloading(0.0));
    EXPECT_EQ(states[3].kind(), ModelState::Kind::failed);
    EXPECT_GE(wrongHub.listings(Transcriber::repositoryId), 3);

    // A hub that has the variant: the retry succeeds.
    testsupport::FakeHub hub;
    hub.addFolder(Transcriber::repositoryId, tinyHubRoot());
    useHub(hub);
    transcriber->load();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(states[4], ModelState::downloading(0.0));
    EXPECT_EQ(states.back(), ModelState::ready);
    EXPECT_EQ(states[states.size() - 2], ModelState::preparing(true));
}

TEST_F(TranscriberLoading, TheMarkerAloneGivesPreparingThenTheEngineFailureAndFirstTimeLastsUntilSuccess)
{
    testsupport::FakeHub hub;
    hub.addFolder(Transcriber::repositoryId, tinyHubRoot());
    useHub(hub);
    fs::create_directories(Transcriber::modelDirectory() / Transcriber::presenceMarker);
    const std::string expected = engineMessage(Transcriber::modelDirectory());
    ASSERT_FALSE(expected.empty());

    transcriber->load();
    // Nothing to download: preparing at once.
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0], ModelState::preparing(true));
    ASSERT_TRUE(finishes());
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[1], ModelState::failed(QString::fromStdString(expected)));
    EXPECT_EQ(hub.listings(Transcriber::repositoryId), 0);

    // A retry still counts as the first time.
    transcriber->load();
    ASSERT_TRUE(finishes());
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[2], ModelState::preparing(true));
    EXPECT_EQ(states[3], ModelState::failed(QString::fromStdString(expected)));

    // With the whole variant in place the next retry succeeds, still the first time.
    fs::remove_all(Transcriber::modelDirectory());
    copyFolder(tinyVariant(), Transcriber::modelDirectory());
    transcriber->load();
    ASSERT_TRUE(finishes());
    ASSERT_EQ(states.size(), 6u);
    EXPECT_EQ(states[4], ModelState::preparing(true));
    EXPECT_EQ(states[5], ModelState::ready);
    EXPECT_EQ(hub.listings(Transcriber::repositoryId), 0);

    // At the next launch the model has been prepared before.
    Transcriber later;
    std::vector<ModelState> laterStates;
    later.setOnStateChange([&](const ModelState& state) { laterStates.push_back(state); });
    later.load();
    ASSERT_TRUE(spinUntil([&] { return !later.isLoading(); }));
    ASSERT_EQ(laterStates.size(), 2u);
    EXPECT_EQ(laterStates[0], ModelState::preparing(false));
    EXPECT_EQ(laterStates[1], ModelState::ready);
}

}  // namespace
}  // namespace transcribertest

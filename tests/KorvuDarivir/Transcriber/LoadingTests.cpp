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

// Every file of the variant was fetched exactly once.
void expectEachFileDownloadedOnce(const testsupport::FakeHub& hub)
{
    const std::vector<std::string> downloads = hub.fileDownloads(Transcriber::repositoryId);
    const std::multiset<std::string> fetched(downloads.begin(), downloads.end());
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

    // The hub serves the tiny variant (holding the GET of `heldFile` until released).
    void serveTinyVariant(testsupport::FakeHub& hub, const std::string& heldFile = {})
    {
        hub.addFolder(Transcriber::repositoryId, tinyHubRoot());
        if (!heldFile.empty()) {
            hub.hold(std::string(Transcriber::variantName) + "/" + heldFile);
        }
        qputenv("HF_ENDPOINT", hub.endpoint().c_str());
    }

    bool finishes() { return spinUntil([this] { return !transcriber->isLoading(); }); }

    std::unique_ptr<Transcriber> transcriber;
    std::vector<ModelState> states;
    std::vector<bool> loadingAtChange;
    std::vector<bool> preparedAtChange;
};

TEST_F(TranscriberLoading, OnlyTheEncoderMarksAModelAsPresent)
{
    const fs::path folder = Transcriber::modelDirectory();
    EXPECT_FALSE(Transcriber::isModelPresent());
    fs::create_directories(folder / "TextDecoder.mlmodelc");
    EXPECT_FALSE(Transcriber::isModelPresent());
    std::ofstream(folder / Transcriber::presenceMarker) << "x";  // a plain file counts too
    EXPECT_TRUE(Transcriber::isModelPresent());
}

TEST_F(TranscriberLoading, DownloadsAnAbsentModelWithProgressThenPreparesIt)
{
    testsupport::FakeHub hub;
    serveTinyVariant(hub);
    EXPECT_EQ(transcriber->state(), ModelState::notLoaded);
    transcriber->load();
    // The download starts at once, before the call returns.
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states.front(), ModelState::downloading(0.0));
    ASSERT_TRUE(finishes());
    ASSERT_EQ(transcriber->state(), ModelState::ready);
    EXPECT_TRUE(transcriber->isReady());
    EXPECT_TRUE(fs::exists(Transcriber::modelDirectory() / "TextDecoder.mlmodelc" / "weights.safetensors"));
    expectEachFileDownloadedOnce(hub);

    // downloading(0), the reported fractions, then preparing for the first time and ready.
    ASSERT_GE(states.size(), 4u);
    const size_t last = states.size() - 1;
    EXPECT_EQ(states[last - 1], ModelState::preparing(true));
    double previous = 0.0;
    for (size_t i = 1; i + 1 < last; ++i) {
        ASSERT_EQ(states[i].kind(), ModelState::Kind::downloading) << i;
        EXPECT_GE(states[i].progress(), previous);
        EXPECT_LE(states[i].progress(), 1.0);
        previous = states[i].progress();
        EXPECT_FALSE(states[i] == states[i - 1]) << i;  // an equal report calls nobody
    }
    EXPECT_GT(previous, 0.0);
    // "modelPrepared" is stored before ready is reported, and loading ends after it.
    EXPECT_FALSE(preparedAtChange[last - 1]);
    EXPECT_TRUE(preparedAtChange[last]);
    EXPECT_TRUE(loadingAtChange[last]);
}

TEST_F(TranscriberLoading, AnUnfinishedDownloadNeverLooksPresentAndLoadingAgainChangesNothing)
{
    // The encoder's weights are the very last file; while they are held the folder must
    // not pass the presence test, or a kill now would leave a model that is never
    // downloaded again.
    testsupport::FakeHub hub;
    serveTinyVariant(hub, std::string(Transcriber::presenceMarker) + "/weights.safetensors");
    transcriber->load();
    ASSERT_TRUE(spinUntil([&] { return hub.holding(); }));
    EXPECT_FALSE(Transcriber::isModelPresent());
    const size_t seen = states.size();
    transcriber->load();
    transcriber->load();
    EXPECT_EQ(states.size(), seen);
    EXPECT_EQ(transcriber->state().kind(), ModelState::Kind::downloading);
    hub.release();
    ASSERT_TRUE(finishes());
    ASSERT_EQ(transcriber->state(), ModelState::ready);
    EXPECT_TRUE(Transcriber::isModelPresent());
    expectEachFileDownloadedOnce(hub);

    // Loaded: another load neither reports nor asks the hub.
    const size_t downloads = hub.fileDownloads(Transcriber::repositoryId).size();
    const int listings = hub.listings(Transcriber::repositoryId);
    const size_t reported = states.size();
    transcriber->load();
    EXPECT_FALSE(transcriber->isLoading());
    spinFor(100ms);
    EXPECT_EQ(states.size(), reported);
    EXPECT_EQ(hub.fileDownloads(Transcriber::repositoryId).size(), downloads);
    EXPECT_EQ(hub.listings(Transcriber::repositoryId), listings);
}

TEST_F(TranscriberLoading, ReportsAfterTheTranscriberIsGoneAreDropped)
{
    testsupport::FakeHub hub;
    serveTinyVariant(hub, "config.json");
    transcriber->load();
    ASSERT_TRUE(spinUntil([&] { return hub.holding(); }));
    spinFor(50ms);
    const size_t seen = states.size();
    transcriber.reset();
    hub.release();

    // The download goes on to its end and reports progress and its folder to nobody.
    ASSERT_TRUE(spinUntil([] { return Transcriber::isModelPresent(); }));
    spinFor(300ms);
    EXPECT_EQ(states.size(), seen);
    EXPECT_FALSE(modelPrepared());
}

TEST_F(TranscriberLoading, FailedDownloadReportsTheEngineMessageAndARetryStartsOver)
{
    testsupport::TempDir wrongRoot;
    fs::create_directories(wrongRoot / "openai_darivir-tiny");
    std::ofstream(wrongRoot / "openai_darivir-tiny" / "config.json") << "{}";
    testsupport::FakeHub wrongHub;
    wrongHub.addFolder(Transcriber::repositoryId, wrongRoot.path());
    qputenv("HF_ENDPOINT", wrongHub.endpoint().c_str());
    std::string expected;
    try {
        vocarion::Vocarion::download(Transcriber::variantName, Transcriber::modelsBaseDirectory(), false,
                                     Transcriber::repositoryId, std::nullopt, wrongHub.endpoint());
    } catch (const std::exception& error) {
        expected = error.what();
    }
    ASSERT_FALSE(expected.empty());

    // Twice from the same hub: each time another download and another failure.
    for (int attempt = 0; attempt < 2; ++attempt) {
        transcriber->load();
        ASSERT_TRUE(finishes());
        ASSERT_EQ(states.size(), 2u * (attempt + 1));
        EXPECT_EQ(states[2 * attempt], ModelState::downloading(0.0));
        EXPECT_EQ(states[2 * attempt + 1].kind(), ModelState::Kind::failed);
    }
    EXPECT_EQ(states[1], ModelState::failed(QString::fromStdString(expected)));
    EXPECT_FALSE(transcriber->isReady() || modelPrepared());
    EXPECT_GE(wrongHub.listings(Transcriber::repositoryId), 3);

    // A hub that has the variant: the retry succeeds.
    testsupport::FakeHub hub;
    serveTinyVariant(hub);
    transcriber->load();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(states[4], ModelState::downloading(0.0));
    EXPECT_EQ(states[states.size() - 2], ModelState::preparing(true));
    EXPECT_EQ(states.back(), ModelState::ready);
}

TEST_F(TranscriberLoading, TheMarkerAloneGivesPreparingThenTheEngineFailureAndFirstTimeLastsUntilSuccess)
{
    testsupport::FakeHub hub;
    serveTinyVariant(hub);
    fs::create_directories(Transcriber::modelDirectory() / Transcriber::presenceMarker);
    std::string expected;  // what the engine itself says when built as the transcriber builds it
    try {
        vocarion::Vocarion engine(Transcriber::engineConfiguration(Transcriber::modelDirectory()));
    } catch (const std::exception& error) {
        expected = error.what();
    }
    ASSERT_FALSE(expected.empty());

    // Nothing to download: preparing at once, then the failure; a retry still counts as
    // the first time.
    for (int attempt = 0; attempt < 2; ++attempt) {
        transcriber->load();
        ASSERT_EQ(states.size(), 2u * attempt + 1);
        EXPECT_EQ(states.back(), ModelState::preparing(true));
        ASSERT_TRUE(finishes());
        ASSERT_EQ(states.size(), 2u * attempt + 2);
        EXPECT_EQ(states.back(), ModelState::failed(QString::fromStdString(expected)));
    }
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
    EXPECT_EQ(laterStates, (std::vector<ModelState>{ModelState::preparing(false), ModelState::ready}));
}

}  // namespace
}  // namespace transcribertest

// Loading: presence test, download with progress, preparation, failures and retries,
// against a tiny model served by a loopback hub.
#include "TranscriberTestSupport.h"
#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/Vocarion.h"
#include "support/FakeHub.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <set>

namespace transcribertest {
namespace {

bool modelPrepared()
{
    return platform::UserDefaults::standard().boolean(QString::fromLatin1(korvu::Settings::modelPreparedKey));
}

// What a call throws, as text.
std::string failureOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return {};
}

// The lines the application writes to its log while it lives; any thread may write.
class LogCapture {
public:
    LogCapture()
    {
        std::scoped_lock lock(mutex());
        lines().clear();
        previous_ = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            std::scoped_lock lock(mutex());
            lines() << text;
        });
    }
    ~LogCapture() { qInstallMessageHandler(previous_); }
    QString text() const
    {
        std::scoped_lock lock(mutex());
        return lines().join('\n');
    }

private:
    static std::mutex& mutex()
    {
        static std::mutex instance;
        return instance;
    }
    static QStringList& lines()
    {
        static QStringList instance;
        return instance;
    }
    QtMessageHandler previous_ = nullptr;
};

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
    void TearDown() override { qunsetenv("HUB_ENDPOINT"); }

    // The hub serves the tiny variant, holding the GET of `heldFile` until released.
    void serve(testsupport::FakeHub& hub, const std::string& heldFile = {})
    {
        hub.addFolder(Transcriber::repositoryId, tinyVariant().parent_path());
        if (!heldFile.empty()) hub.hold(std::string(Transcriber::variantName) + "/" + heldFile);
        qputenv("HUB_ENDPOINT", hub.endpoint().c_str());
    }

    // Every file of the variant was fetched exactly once.
    static void expectEachFileDownloadedOnce(const testsupport::FakeHub& hub)
    {
        const auto downloads = hub.fileDownloads(Transcriber::repositoryId);
        std::multiset<std::string> expected;
        for (const auto& entry : fs::recursive_directory_iterator(tinyVariant())) {
            if (entry.is_regular_file()) {
                expected.insert(std::string(Transcriber::variantName) + "/" +
                                fs::relative(entry.path(), tinyVariant()).generic_string());
            }
        }
        EXPECT_EQ(std::multiset<std::string>(downloads.begin(), downloads.end()), expected);
    }

    bool finishes() { return spinUntil([this] { return !transcriber->isLoading(); }); }

    std::unique_ptr<Transcriber> transcriber;
    std::vector<ModelState> states;
    std::vector<bool> loadingAtChange;
    std::vector<bool> preparedAtChange;
};

// The encoder's weights are the very last file; while they are held the folder must not
// pass the presence test, or a kill now would leave a model that is never downloaded
// again. Loads meanwhile change nothing. A transcriber that goes meanwhile (the application
// quitting) stops its download before it is gone and hears nothing more: the held file,
// answered afterwards, is never written. The next transcriber finishes the download,
// fetching again only what was cut off.
TEST_F(TranscriberLoading, AnUnfinishedDownloadNeverLooksPresentStopsWithItsTranscriberAndTheNextOneFinishesIt)
{
    testsupport::FakeHub hub;
    const std::string held = std::string(Transcriber::presenceMarker) + "/weights.safetensors";
    serve(hub, held);
    transcriber->load();
    ASSERT_TRUE(spinUntil([&] { return hub.holding(); }));
    spinFor(50ms);
    EXPECT_FALSE(Transcriber::isModelPresent());
    const size_t seen = states.size();
    transcriber->load();
    transcriber->load();
    EXPECT_EQ(states.size(), seen);
    EXPECT_EQ(transcriber->state().kind(), ModelState::Kind::downloading);
    transcriber.reset();
    hub.release();
    // A download left running would now receive the file and complete the folder.
    EXPECT_FALSE(spinUntil([] { return Transcriber::isModelPresent(); }, 1s));
    EXPECT_EQ(states.size(), seen);

    hub.clearRequests();
    transcriber = std::make_unique<Transcriber>();
    transcriber->setOnStateChange([this](const ModelState& state) { states.push_back(state); });
    transcriber->load();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(transcriber->state(), ModelState::ready);
    EXPECT_TRUE(Transcriber::isModelPresent());
    EXPECT_EQ(hub.fileDownloads(Transcriber::repositoryId),
              std::vector<std::string>{std::string(Transcriber::variantName) + "/" + held});
}

// A hub without the variant: each load downloads anew, from within the call, and fails with
// a sentence that says what to do, the engine's own (English) message going to the log
// only. From a hub that has it the retry downloads every file once with
// rising progress (an equal report calls nobody), prepares the model for the first time
// ("modelPrepared" stored before ready, loading ended after it), and then asks no more.
TEST_F(TranscriberLoading, AFailedDownloadSaysWhatToDoLogsTheEngineMessageAndARetryDownloadsAndPrepares)
{
    testsupport::TempDir wrongRoot;
    fs::create_directories(wrongRoot / "darivir-tiny");
    std::ofstream(wrongRoot / "darivir-tiny" / "config.json") << "{}";
    testsupport::FakeHub wrongHub;
    wrongHub.addFolder(Transcriber::repositoryId, wrongRoot.path());
    qputenv("HUB_ENDPOINT", wrongHub.endpoint().c_str());
    const std::string expected = failureOf([&] {
        vocarion::Vocarion::download(Transcriber::variantName, Transcriber::modelsBaseDirectory(), false,
                                     Transcriber::repositoryId, std::nullopt, wrongHub.endpoint());
    });
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(transcriber->state(), ModelState::notLoaded);
    const LogCapture log;
    for (int attempt = 0; attempt < 2; ++attempt) {
        transcriber->load();
        EXPECT_EQ(states.back(), ModelState::downloading(0.0));
        ASSERT_TRUE(finishes());
    }
    EXPECT_TRUE(log.text().contains(QString::fromStdString(expected))) << log.text().toStdString();
    const ModelState failed = ModelState::failed(
        QStringLiteral("Der Modell-Server bietet das Sprachmodell gerade nicht an. Versuche es später erneut."));
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::downloading(0.0), failed, ModelState::downloading(0.0), failed}));
    EXPECT_FALSE(transcriber->isReady() || modelPrepared());
    EXPECT_GE(wrongHub.listings(Transcriber::repositoryId), 3);

    testsupport::FakeHub hub;
    serve(hub);
    transcriber->load();
    ASSERT_TRUE(finishes());
    ASSERT_EQ(transcriber->state(), ModelState::ready);
    EXPECT_TRUE(transcriber->isReady());
    EXPECT_TRUE(fs::exists(Transcriber::modelDirectory() / "TextDecoder.mlmodelc" / "weights.safetensors"));
    expectEachFileDownloadedOnce(hub);
    ASSERT_GE(states.size(), 8u);
    const size_t last = states.size() - 1;
    EXPECT_EQ(states[4], ModelState::downloading(0.0));
    EXPECT_EQ(states[last - 1], ModelState::preparing(true));
    for (size_t i = 5; i + 1 < last; ++i) {
        ASSERT_EQ(states[i].kind(), ModelState::Kind::downloading) << i;
        EXPECT_GT(states[i].progress(), states[i - 1].progress()) << i;
        EXPECT_LE(states[i].progress(), 1.0);
    }
    EXPECT_EQ(preparedAtChange[last - 1], false);
    EXPECT_EQ(preparedAtChange[last], true);
    EXPECT_EQ(loadingAtChange[last], true);

    const size_t requests = hub.requests().size();
    transcriber->load();
    EXPECT_FALSE(transcriber->isLoading());
    spinFor(100ms);
    EXPECT_EQ(states.size(), last + 1);
    EXPECT_EQ(hub.requests().size(), requests);
}

// The encoder alone (a folder or even a plain file) marks a model as present: nothing is
// downloaded, preparing comes at once, then the failure, which names the folder to delete
// (the engine's message goes to the log). Each retry counts as the
// first time until one succeeds; at the next launch the model has been prepared before.
TEST_F(TranscriberLoading, TheMarkerAloneGivesPreparingThenAFailureThatNamesTheFolder)
{
    testsupport::FakeHub hub;
    serve(hub);
    const fs::path folder = Transcriber::modelDirectory();
    fs::create_directories(folder / "TextDecoder.mlmodelc");
    EXPECT_FALSE(Transcriber::isModelPresent());
    std::ofstream(folder / Transcriber::presenceMarker) << "x";
    EXPECT_TRUE(Transcriber::isModelPresent());
    fs::remove(folder / Transcriber::presenceMarker);
    fs::create_directories(folder / Transcriber::presenceMarker);
    const std::string expected =
        failureOf([] { vocarion::Vocarion engine(Transcriber::engineConfiguration(Transcriber::modelDirectory())); });
    ASSERT_FALSE(expected.empty());
    const QString damaged = "Das Sprachmodell auf diesem Rechner ist unvollständig oder beschädigt. Lösche den Ordner „"
                            + QString::fromStdString(folder.string())
                            + "“ und versuche es erneut, dann wird es neu heruntergeladen.";
    const LogCapture log;
    for (int attempt = 0; attempt < 2; ++attempt) {
        transcriber->load();
        EXPECT_EQ(states.back(), ModelState::preparing(true));
        ASSERT_TRUE(finishes());
        EXPECT_EQ(states.back(), ModelState::failed(damaged));
    }
    EXPECT_TRUE(log.text().contains(QString::fromStdString(expected))) << log.text().toStdString();
    fs::remove_all(folder);
    installTinyVariant();
    transcriber->load();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(states.size(), 6u);
    EXPECT_EQ(states[4], ModelState::preparing(true));
    EXPECT_EQ(states[5], ModelState::ready);
    EXPECT_EQ(hub.listings(Transcriber::repositoryId), 0);

    Transcriber later;
    std::vector<ModelState> laterStates;
    later.setOnStateChange([&](const ModelState& state) { laterStates.push_back(state); });
    later.load();
    ASSERT_TRUE(spinUntil([&] { return !later.isLoading(); }));
    EXPECT_EQ(laterStates, (std::vector<ModelState>{ModelState::preparing(false), ModelState::ready}));
}

}  // namespace
}  // namespace transcribertest

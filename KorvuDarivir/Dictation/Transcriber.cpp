// The engine's headers come first: the engine's logger has a member named "emit", which
// Qt's keyword macro would otherwise rewrite.
#include "BexmorCore/External/Hub/Progress.h"
#include "BexmorCore/Logging.h"
#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/Models.h"
#include "Vocarion/Core/Vocarion.h"

#include "KorvuDarivir/Dictation/Transcriber.h"
#include "KorvuDarivir/Store/FailureText.h"

#include "KorvuDarivir/Store/IcuText.h"
#include "KorvuDarivir/Store/Progress.h"

#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Async/MainThread.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QPointer>
#include <QThread>

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <future>
#include <system_error>
#include <utility>

namespace korvu {
namespace {

// The volunteer subtitling community whose credit line the model sometimes writes for
// silence, having learnt it from subtitled videos.
constexpr const char* kSubtitleCommunityDomain = "amara.org";

// Texts the model invents for silence or noise, lower case. A dictation whose text is or
// begins with one of them is dropped whole.
const std::array<QString, 7>& droppedPhrases()
{
    static const std::array<QString, 7> phrases{
        QStringLiteral("untertitel der ") + QString::fromLatin1(kSubtitleCommunityDomain) + QStringLiteral("-community"),
        QStringLiteral("untertitel im auftrag des zdf"),
        QStringLiteral("vielen dank fürs zuschauen"),
        QStringLiteral("danke fürs zuschauen"),
        QStringLiteral("bis zum nächsten mal"),
        QStringLiteral("thank you for watching"),
        QStringLiteral("thanks for watching"),
    };
    return phrases;
}

// Every match of `pattern` replaced by `replacement` (taken literally). On any ICU failure
// the text comes back unchanged.
icu::UnicodeString replaceAll(const icu::UnicodeString& text, const char* pattern, const icu::UnicodeString& replacement)
{
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexMatcher matcher(icu::UnicodeString::fromUTF8(pattern), text, 0, status);
    if (U_FAILURE(status)) {
        return text;
    }
    icu::UnicodeString result;
    int32_t copied = 0;
    while (matcher.find(status) && U_SUCCESS(status)) {
        const int32_t start = matcher.start(status);
        const int32_t end = matcher.end(status);
        if (U_FAILURE(status)) {
            return text;
        }
        result.append(text, copied, start - copied);
        result.append(replacement);
        copied = end;
    }
    if (U_FAILURE(status)) {
        return text;
    }
    result.append(text, copied, text.length() - copied);
    return result;
}

// The canonical composed form (NFC), so that texts that differ only in how an accented
// letter is written compare equal; the text unchanged should ICU fail.
icu::UnicodeString composed(const icu::UnicodeString& text)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc == nullptr) {
        return text;
    }
    icu::UnicodeString result = nfc->normalize(text, status);
    return U_SUCCESS(status) ? result : text;
}

// Unicode white space, line breaks included (U+0085 and the like).
bool isWhiteSpace(UChar32 c) { return u_isUWhiteSpace(c); }

bool isPunctuationOrWhiteSpace(UChar32 c) { return u_ispunct(c) || u_isUWhiteSpace(c); }

template <typename Predicate>
icu::UnicodeString trimmed(const icu::UnicodeString& text, Predicate drop)
{
    int32_t start = 0;
    int32_t end = text.length();
    while (start < end) {
        const UChar32 c = text.char32At(start);
        if (!drop(c)) {
            break;
        }
        start += U16_LENGTH(c);
    }
    while (end > start) {
        const int32_t last = text.moveIndex32(end, -1);
        if (!drop(text.char32At(last))) {
            break;
        }
        end = last;
    }
    return icu::UnicodeString(text, start, end - start);
}

}  // namespace

std::exception_ptr Transcriber::startWorker(std::function<void(std::stop_token)> work)
{
    // Threads whose work is done at most finish returning: joining them costs nothing.
    std::erase_if(workers_, [](const Worker& worker) { return worker.finished->load(); });
    std::list<Worker> started;
    try {
        // Everything allocated before the thread starts, so that nothing can fail after.
        Worker& worker = started.emplace_back();
        worker.finished = std::make_shared<std::atomic<bool>>(false);
        worker.thread = std::jthread([work = std::move(work), finished = worker.finished](std::stop_token stop) {
            work(stop);
            *finished = true;
        });
    } catch (const std::exception&) {
        // No thread (std::system_error) or no memory: the caller reports this as the
        // outcome of the work.
        return std::current_exception();
    }
    workers_.splice(workers_.end(), started);
    return nullptr;
}

QString TranscriberError::description() const
{
    return QStringLiteral("Das Sprachmodell ist noch nicht geladen.");
}

const char* TranscriberError::what() const noexcept
{
    return "Das Sprachmodell ist noch nicht geladen.";
}

Transcriber::Transcriber(QObject* parent) : QObject(parent) {}

Transcriber::~Transcriber()
{
    // A download stops at once, a transcription at its next window; a model being built
    // is finished. Each takes a moment at most, and afterwards no engine work outlives the
    // transcriber. All are asked first, so they stop side by side.
    for (Worker& worker : workers_) {
        worker.thread.request_stop();
    }
    workers_.clear();
}

std::filesystem::path Transcriber::modelsBaseDirectory()
{
    return Settings::supportDirectory() / "Models";
}

std::filesystem::path Transcriber::modelDirectory()
{
    return modelsBaseDirectory() / "models" / repositoryId / variantName;
}

bool Transcriber::isModelPresent()
{
    std::error_code error;
    return std::filesystem::exists(modelDirectory() / presenceMarker, error);
}

void Transcriber::setState(const ModelState& state)
{
    if (state == state_) {
        return;
    }
    state_ = state;
    if (onStateChange_) {
        onStateChange_(state_);
    }
}

void Transcriber::applyDownloadProgress(double fraction)
{
    if (state_.kind() != ModelState::Kind::downloading) {
        return;
    }
    // A progress object reports 0...1; anything else (NaN included) would make equal
    // reports look different and confuse the percentages shown from it.
    setState(ModelState::downloading(unitFraction(fraction)));
}

void Transcriber::load()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (darivir_ || isLoading_) {
        return;
    }
    isLoading_ = true;

    if (isModelPresent()) {
        prepare(modelDirectory());
        return;
    }

    setState(ModelState::downloading(0.0));
    const QPointer<Transcriber> self(this);
    const std::filesystem::path base = modelsBaseDirectory();
    const std::string endpoint = vocarion::Constants::defaultRemoteEndpoint();
    const std::exception_ptr notStarted = startWorker([self, base, endpoint](std::stop_token stop) {
        auto progress = [self](const bexmor::Progress& report) {
            const double fraction = report.fractionCompleted();
            platform::deliver(self, [fraction](Transcriber& transcriber) { transcriber.applyDownloadProgress(fraction); });
        };
        try {
            std::filesystem::path folder = vocarion::Vocarion::download(variantName, base, false, repositoryId,
                                                                        std::nullopt, endpoint, progress, stop);
            platform::deliver(self, [folder](Transcriber& transcriber) { transcriber.prepare(folder); });
        } catch (...) {
            // The user reads what to do; the hub client's own text is for the log.
            const std::exception_ptr error = std::current_exception();
            FailureText::log("Transcriber::load", FailureText::libraryText(error));
            const QString message = FailureText::modelDownload(error);
            platform::deliver(self, [message](Transcriber& transcriber) { transcriber.finishLoading(nullptr, message); });
        }
    });
    if (notStarted) {
        FailureText::log("Transcriber::load", FailureText::libraryText(notStarted));
        finishLoading(nullptr, FailureText::modelDownload(notStarted));
    }
}

void Transcriber::prepare(const std::filesystem::path& modelFolder)
{
    const bool prepared = platform::UserDefaults::standard().boolean(QString::fromLatin1(Settings::modelPreparedKey));
    setState(ModelState::preparing(!prepared));

    vocarion::VocarionConfig config = engineConfiguration(modelFolder);
    const QPointer<Transcriber> self(this);
    // The build is not stopped half-way: the destructor waits for it.
    const std::exception_ptr notStarted =
        startWorker([self, config = std::move(config), modelFolder](std::stop_token) mutable {
        std::shared_ptr<vocarion::Vocarion> engine;
        QString failure;
        try {
            engine = std::make_shared<vocarion::Vocarion>(std::move(config));
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            FailureText::log("Transcriber::prepare", FailureText::libraryText(error));
            failure = FailureText::modelLoad(modelFolder);
        }
        platform::deliver(self, [engine, failure](Transcriber& transcriber) { transcriber.finishLoading(engine, failure); });
    });
    if (notStarted) {
        FailureText::log("Transcriber::prepare", FailureText::libraryText(notStarted));
        finishLoading(nullptr, FailureText::modelLoad(modelFolder));
    }
}

void Transcriber::finishLoading(std::shared_ptr<vocarion::Vocarion> engine, const QString& failure)
{
    if (engine) {
        darivir_ = std::move(engine);
        platform::UserDefaults::standard().set(QString::fromLatin1(Settings::modelPreparedKey), true);
        setState(ModelState::ready);
    } else {
        setState(ModelState::failed(failure));
    }
    isLoading_ = false;
}

QString Transcriber::promptText(const QStringList& vocabulary)
{
    if (vocabulary.isEmpty()) {
        return {};
    }
    return vocabulary.join(QStringLiteral(", ")) + QLatin1Char('.');
}

std::vector<int> Transcriber::promptTokens(const vocarion::DarivirTokenizer& tokenizer, const QString& prompt)
{
    const int specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
    std::vector<int> tokens;
    for (const int token : tokenizer.encode((QLatin1Char(' ') + prompt).toStdString())) {
        if (token < specialTokenBegin) {
            tokens.push_back(token);
        }
    }
    return tokens;
}

vocarion::VocarionConfig Transcriber::engineConfiguration(const std::filesystem::path& modelFolder)
{
    return vocarion::VocarionConfig{
        .modelFolder = modelFolder.string(),
        .tokenizerFolder = modelsBaseDirectory(),
        .verbose = false,
        .logLevel = bexmor::Logging::LogLevel::error,
        .prewarm = true,
        .load = true,
        .download = false,
        .useBackgroundDownloadSession = false,
    };
}

vocarion::DecodingOptions Transcriber::decodingOptions(const std::optional<QString>& language)
{
    const bool fixedLanguage = language.has_value();
    return vocarion::DecodingOptions({
        .verbose = false,
        .task = vocarion::DecodingTask::transcribe,
        .language = fixedLanguage ? std::optional<std::string>(language->toStdString()) : std::nullopt,
        .temperature = 0.0f,
        .temperatureIncrementOnFallback = 0.2f,
        .temperatureFallbackCount = 5,
        .sampleLength = vocarion::Constants::maxTokenContext,
        .topK = 5,
        .usePrefillPrompt = fixedLanguage,
        .detectLanguage = !fixedLanguage,
        .skipSpecialTokens = true,
        .withoutTimestamps = true,
        .wordTimestamps = false,
        .maxInitialTimestamp = std::nullopt,
        .maxWindowSeek = std::nullopt,
        .clipTimestamps = {},
        .windowClipTime = 1.0f,
        .promptTokens = std::nullopt,
        .prefixTokens = std::nullopt,
        .suppressBlank = false,
        .suppressTokens = std::nullopt,
        .compressionRatioThreshold = 2.4f,
        .logProbThreshold = -1.0f,
        .firstTokenLogProbThreshold = -1.5f,
        .noSpeechThreshold = 0.6f,
        .concurrentWorkerCount = std::nullopt,
        .chunkingStrategy = vocarion::ChunkingStrategy::vad,
    });
}

QString Transcriber::normalizedForEcho(const QString& text)
{
    // Composed form first, so an accented letter counts as one letter however it was
    // written.
    icu::UnicodeString unicode = composed(toIcu(text));
    unicode.toLower(icu::Locale::getRoot());
    icu::UnicodeString kept;
    bool keptPrevious = false;
    for (int32_t i = 0; i < unicode.length();) {
        const UChar32 c = unicode.char32At(i);
        const int32_t mask = U_GET_GC_MASK(c);
        // Letters and numbers, with the marks that belong to a kept letter.
        const bool keep = (mask & (U_GC_L_MASK | U_GC_N_MASK)) != 0 || (keptPrevious && (mask & U_GC_M_MASK) != 0);
        if (keep) {
            kept.append(c);
        }
        keptPrevious = keep;
        i += U16_LENGTH(c);
    }
    return fromIcu(kept);
}

QString Transcriber::postProcess(const QString& text)
{
    icu::UnicodeString result = replaceAll(toIcu(text), "\\[[^\\]]*\\]|\\*[^*]*\\*", icu::UnicodeString());
    result = replaceAll(result, "\\s+", icu::UnicodeString(u' '));
    result = trimmed(result, isWhiteSpace);

    // "ü" written as "u" and a combining diaeresis still begins a phrase.
    icu::UnicodeString check = composed(result);
    check.toLower(icu::Locale::getRoot());
    const QString checkText = fromIcu(trimmed(check, isPunctuationOrWhiteSpace));
    for (const QString& phrase : droppedPhrases()) {
        if (checkText.startsWith(phrase)) {
            return {};
        }
    }
    return fromIcu(result);
}

QString Transcriber::dictationText(const QStringList& resultTexts, const QStringList& vocabulary)
{
    return dictationText(resultTexts, Vocabulary::SpellingPass(vocabulary));
}

QString Transcriber::dictationText(const QStringList& resultTexts, const Vocabulary::SpellingPass& spelling)
{
    QString text = postProcess(resultTexts.join(QLatin1Char(' ')));
    // The model sometimes answers silence with the prompt it was given. The prompt is
    // compared whatever the language, though only a fixed language sends it.
    const QString prompt = promptText(spelling.terms());
    if (!prompt.isEmpty() && normalizedForEcho(text) == normalizedForEcho(prompt)) {
        text.clear();
    }
    return spelling.apply(text);
}

void Transcriber::transcribe(std::vector<float> samples, const std::optional<QString>& language,
                             const QStringList& vocabulary, Completion done)
{
    Q_ASSERT(QThread::currentThread() == thread());
    const QPointer<Transcriber> self(this);
    if (!darivir_) {
        const std::exception_ptr error = std::make_exception_ptr(TranscriberError::notReady());
        platform::deliver(self, [done = std::move(done), error](Transcriber&) {
            if (done) {
                done(QString(), error);
            }
        });
        return;
    }

    // The vocabulary primes the decoder only with a fixed language. The prompt is encoded
    // on the worker too: a tokenizer failure reaches `done` like any engine error.
    const QString prompt = language.has_value() ? promptText(vocabulary) : QString();
    if (spelling_.terms() != vocabulary) {
        spelling_ = Vocabulary::SpellingPass(vocabulary);
    }
    auto completion = std::make_shared<Completion>(std::move(done));
    const std::exception_ptr notStarted = startWorker([self, engine = darivir_, samples = std::move(samples),
                                                       options = decodingOptions(language), prompt, spelling = spelling_,
                                                       completion](std::stop_token stop) mutable {
        // The engine asks after every window whether to go on.
        auto goOn = [stop](const vocarion::TranscriptionProgress&) -> std::optional<bool> {
            return !stop.stop_requested();
        };
        QString text;
        std::exception_ptr error;
        try {
            if (!prompt.isEmpty()) {
                if (const std::shared_ptr<const vocarion::DarivirTokenizer> tokenizer = engine->tokenizer()) {
                    options.promptTokens = promptTokens(*tokenizer, prompt);
                }
            }
            // A changed vocabulary's expressions are compiled beside the engine's run, so
            // they add nothing to the first dictation after the change.
            std::future<void> compiled = std::async(std::launch::async, [&spelling] { spelling.compile(); });
            QStringList texts;
            for (const vocarion::TranscriptionResult& result : engine->transcribe(samples, options, goOn)) {
                texts.append(QString::fromStdString(result.text));
            }
            compiled.get();
            text = dictationText(texts, spelling);
        } catch (...) {
            // Handed to `done` unchanged, whatever its type.
            error = std::current_exception();
            text.clear();
        }
        // The engine goes with the worker: the last one left (the transcriber's) is
        // released on the main thread.
        engine.reset();
        platform::deliver(self, [completion, text, error](Transcriber&) {
            if (*completion) {
                (*completion)(text, error);
            }
        });
    });
    if (notStarted) {
        platform::deliver(self, [completion, notStarted](Transcriber&) {
            if (*completion) {
                (*completion)(QString(), notStarted);
            }
        });
    }
}

}  // namespace korvu

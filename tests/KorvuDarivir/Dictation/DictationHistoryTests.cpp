// The history record of a dictation: on disk by the time the paste goes out, and a write
// that fails is told once per run of failures.
#include "Rig.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <filesystem>

namespace dictationtest {
namespace {

namespace fs = std::filesystem;
using DictationHistory = WithRig;

QStringList textsOnDisk(const fs::path& file)
{
    QFile history(QString::fromStdString(file.string()));
    QStringList texts;
    if (!history.open(QIODevice::ReadOnly)) return texts;
    for (const QJsonValue& record : QJsonDocument::fromJson(history.readAll()).array()) {
        texts << record.toObject().value("text").toString();
    }
    return texts;
}

TEST_F(DictationHistory, TheRecordIsOnDiskWhenThePasteGoesOutAndAFailedWriteIsToldOnce)
{
    const fs::path file = history.filePath();
    const fs::path kept = folder / "kept.json";
    std::optional<QStringList> atPaste;
    inserter.afterPaste = [&] { atPaste = textsOnDisk(file); };
    const auto dictate = [&](const QString& text) {
        atPaste.reset();
        hints->shown.clear();
        press();
        press();
        speech->answer(text);
        EXPECT_TRUE(idleAgain());
    };
    const Hint notSaved{HintKind::warning, "Verlauf nicht gespeichert",
                        QString::fromUtf8("An der Stelle von „Verlauf.json“ im Ordner „")
                            + QString::fromStdString(folder.path().string())
                            + QString::fromUtf8("“ liegt etwas anderes, etwa ein Ordner. Räume es beiseite und versuche "
                                                "es erneut.")};
    struct Step {
        const char* what;
        std::function<void()> before;
        QString text;
        QStringList onDiskAtPaste;
        std::vector<Hint> hints;
    };
    const Step steps[] = {
        {"written before the clipboard comes back", [] {}, "Eins", {"Eins"}, {}},
        {"a folder in the file's place: told", [&] { fs::rename(file, kept); fs::create_directories(file / "x"); },
         "Zwei", {}, {notSaved}},
        {"still failing: not told again", [] {}, "Drei", {}, {}},
        {"cleared: the next write stores all", [&] { fs::remove_all(file); }, "Vier", {"Vier", "Drei", "Zwei", "Eins"}, {}},
        {"failing again is news again", [&] { fs::remove(file); fs::create_directories(file / "x"); }, "Fünf", {}, {notSaved}},
    };
    start();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.before();
        dictate(step.text);
        ASSERT_TRUE(atPaste.has_value()) << "nothing was pasted";
        EXPECT_EQ(*atPaste, step.onDiskAtPaste);
        EXPECT_EQ(hints->shown, step.hints);
        EXPECT_EQ(history.records().front().text, step.text) << "the record stays in memory";
        EXPECT_EQ(model.flash(), MicButtonState::ok) << "the text was inserted all the same";
    }
    EXPECT_EQ(history.records().size(), 5);
}

}  // namespace
}  // namespace dictationtest

#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace korvu {

// What the dictation needs to put its text into another application. The desktop's pastes
// through the clipboard (`TextInserter`); tests give a fake (tests/fakes/FakeInserter.h).
// Main thread only.
class Inserter {
public:
    virtual ~Inserter() = default;

    // Inserts `text` into the application of process `pid` (the frontmost one without a
    // pid). `pasted` runs on the main thread when the text has been handed over (the paste
    // keystroke is posted; the target takes the text from then on), `done` once the
    // insertion is over (the user's clipboard is back); never fails.
    virtual void insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> pasted,
                        std::function<void()> done) = 0;

    // The desktop's: TextInserter::insert with its default timing.
    static Inserter& desktop();
};

}  // namespace korvu

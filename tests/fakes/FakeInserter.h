#pragma once

#include "KorvuDarivir/Dictation/Inserter.h"
#include "Platform/Async/MainThread.h"

#include <QCoreApplication>

#include <optional>
#include <vector>

namespace fakes {

// Records what would have been pasted where; `pasted` runs at once, `done` follows as a
// queued call.
class FakeInserter final : public korvu::Inserter {
public:
    struct Insertion {
        QString text;
        std::optional<std::int64_t> pid;
        friend bool operator==(const Insertion&, const Insertion&) = default;
    };

    std::vector<Insertion> insertions;
    // Runs when `pasted` has run, before `done` is queued: what a test sees between the
    // paste and the clipboard's restore.
    std::function<void()> afterPaste;

    void insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> pasted,
                std::function<void()> done) override
    {
        insertions.push_back({text, pid});
        if (pasted) pasted();
        if (afterPaste) afterPaste();
        platform::deliver(QCoreApplication::instance(), [done = std::move(done)] {
            if (done) done();
        });
    }
};

}  // namespace fakes

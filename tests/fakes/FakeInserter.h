#pragma once

#include "KorvuDarivir/Dictation/Inserter.h"
#include "Platform/Async/MainThread.h"

#include <QCoreApplication>

#include <optional>
#include <vector>

namespace fakes {

// Records what would have been pasted where; `done` follows as a queued call.
class FakeInserter final : public korvu::Inserter {
public:
    struct Insertion {
        QString text;
        std::optional<std::int64_t> pid;
        friend bool operator==(const Insertion&, const Insertion&) = default;
    };

    std::vector<Insertion> insertions;

    void insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> done) override
    {
        insertions.push_back({text, pid});
        platform::deliver(QCoreApplication::instance(), [done = std::move(done)] {
            if (done) done();
        });
    }
};

}  // namespace fakes

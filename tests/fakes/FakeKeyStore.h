#pragma once

#include "KorvuDarivir/Store/KeyStore.h"
#include "Platform/Async/MainThread.h"

#include <map>

namespace fakes {

// Keys in memory. `lockedOrUnavailable` makes every read end in that status; `failWrites`
// makes writes fail and keep what was stored. Completions come as queued calls.
class FakeKeyStore final : public korvu::KeyStore {
public:
    std::map<korvu::Keychain::Account, QString> values;
    std::optional<korvu::KeyStatus> lockedOrUnavailable;
    bool failWrites = false;
    int reads = 0;
    int writes = 0;

    void read(korvu::Keychain::Account account, QPointer<QObject> receiver, ReadCompletion done) override
    {
        ++reads;
        korvu::KeyReading reading{korvu::KeyStatus::missing, {}};
        if (lockedOrUnavailable) {
            reading.status = *lockedOrUnavailable;
        } else if (const auto found = values.find(account); found != values.end() && !found->second.isEmpty()) {
            reading = {korvu::KeyStatus::found, found->second};
        }
        platform::deliver(receiver, [done = std::move(done), reading] {
            if (done) done(reading);
        });
    }

    void write(const std::optional<QString>& value, korvu::Keychain::Account account, QPointer<QObject> receiver,
               WriteCompletion done) override
    {
        ++writes;
        const bool stored = !failWrites;
        if (stored) {
            if (value && !value->isEmpty()) values[account] = *value;
            else values.erase(account);
        }
        platform::deliver(receiver, [done = std::move(done), stored] {
            if (done) done(stored);
        });
    }
};

}  // namespace fakes

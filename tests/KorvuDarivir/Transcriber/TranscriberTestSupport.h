#pragma once

#include "KorvuDarivir/Store/ModelState.h"

#include "support/QtWait.h"

#include <QString>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <vector>

namespace korvu {
// Readable states in failure messages.
void PrintTo(const ModelState& state, std::ostream* out);
}

namespace transcribertest {

using testsupport::spinFor;
using testsupport::spinUntil;
using namespace std::chrono_literals;

// A tiny model variant written once per test program by the darivir-model tool, in a
// folder named like the application's variant (so a hub can serve its parent).
const std::filesystem::path& tinyVariant();
// A hub root holding only the tiny variant, under the application's variant name.
std::filesystem::path tinyHubRoot();

// Copies the whole tiny variant to `to` (which must not exist).
void copyFolder(const std::filesystem::path& from, const std::filesystem::path& to);

// A fresh user: no stored settings, no models in the support directory.
void resetUserData();

// The speech of `text` (espeak-ng, German voice) as 16 kHz samples, made once per text.
const std::vector<float>& speech(const std::string& text);

}  // namespace transcribertest

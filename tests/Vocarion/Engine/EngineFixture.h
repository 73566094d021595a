#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Vocarion/Core/Vocarion.h"
#include "support/Thrown.h"

namespace enginetest {

// The repository and variant the tests download, as the application names them.
inline const std::string kRepo = "bexmorinc/vocarion-coreml", kVariant = "darivir-tiny-test";
// A scripted variant's options: confident German speech spelling kText.
inline const std::string kText = " Guten Morgen, liebe Freunde.", kSpeech = "--text '" + kText + "' --language de";

// Writes a tiny variant folder with seeded random weights through the model tool.
void writeTinyVariant(const std::filesystem::path& folder, int seed = 1);
// A variant folder whose greedy decoding spells a chosen text (the model tool's "scripted"
// mode with these options, e.g. "--text 'Hallo.' --language de"); an empty string gives
// a tiny variant of random weights. Written once per test program, shared read-only.
const std::filesystem::path& variant(const std::string& scriptedArguments = "");

// An engine over a variant folder, configured as the application configures it.
std::unique_ptr<vocarion::Vocarion> makeEngine(const std::filesystem::path& folder, vocarion::VocarionConfig config = {});

// Speech made with espeak-ng, 16 kHz mono, cached per text for the test program.
const std::vector<float>& speech(const std::string& text = "Guten Morgen, liebe Freunde.");
// Sentences joined with 2 s silences and cut to the given length in seconds; the silences'
// sample ranges go to `silences` if given.
std::vector<float> speechWithPauses(double seconds, std::vector<std::pair<size_t, size_t>>* silences = nullptr);

// Options as the application decodes with (language given, no timestamps, VAD chunking);
// `fallbacks` 0 decodes greedily only.
vocarion::DecodingOptions appOptions(std::optional<std::string> language = "de", int fallbacks = 5);

using testsupport::messageOf;

}  // namespace enginetest

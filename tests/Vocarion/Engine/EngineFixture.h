#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Vocarion/Core/Vocarion.h"

namespace enginetest {

// The repository and variant the tests download, as the application names them.
inline const std::string kRepo = "bexmorinc/vocarion-coreml";
inline const std::string kVariant = "openai_darivir-tiny-test";

// Writes a tiny variant folder with seeded random weights through the model tool.
void writeTinyVariant(const std::filesystem::path& folder, int seed = 1);

// A variant folder whose greedy decoding spells a chosen text (the model tool's "scripted"
// mode; `arguments` are its options, e.g. "--text 'Hallo.' --language de"), written once
// per test program and arguments, shared read-only by the tests.
const std::filesystem::path& scriptedVariant(const std::string& arguments);

// A tiny variant folder written once per test program, shared read-only by the tests.
const std::filesystem::path& sharedTinyVariant();

// An engine over a variant folder, configured as the application configures it.
std::unique_ptr<vocarion::Vocarion> makeEngine(const std::filesystem::path& folder, vocarion::VocarionConfig config = {});

// Speech made with espeak-ng, 16 kHz mono, cached per text for the test program.
const std::vector<float>& speech(const std::string& text);

// Sentences joined with 2 s silences and cut to the given length in seconds.
std::vector<float> speechWithPauses(double seconds);

// Options as the application decodes with (language given, no timestamps, VAD chunking).
vocarion::DecodingOptions appOptions(std::optional<std::string> language = "de");

}  // namespace enginetest

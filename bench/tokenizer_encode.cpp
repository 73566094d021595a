// Encoding speed of the Darivir tokenizer on 100 kB of text, and on 1 MB of text made of
// prefixes of a 4096-byte added token (matching added tokens must stay linear in the text,
// whatever their length: a quadratic matcher takes over a minute there).
//
//   build/bin/bench_tokenizer_encode [--tokenizer PATH/tokenizer.json] [--csv]
//
// Without --tokenizer the program learns a byte-level BPE from its own text first (not
// timed; up to 4000 merges, until every word of the text is one token, so every word is
// merged all the way as with a real vocabulary); with it, the given file is used (a real model's tokenizer, or the one darivir-model writes). Each case is
// run once to warm up, then 5 times; the table gives mean ± standard deviation.
// Results go to stdout, notes to stderr.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "BexmorCore/External/Tokenizers/BpeTokenizer.h"
#include "BexmorCore/External/Tokenizers/ByteLevel.h"

namespace {

using bexmor::BpeTokenizer;
using bexmor::ByteLevel;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kGerman = {
    "Heute habe ich mit Frau Tannholt über das neue Projekt gesprochen.",
    "Die Besprechung am Donnerstag wird auf vierzehn Uhr verschoben.",
    "Können Sie mir bitte die Unterlagen bis Freitag schicken?",
    "Größere Änderungen an der Straßenführung sind für März geplant.",
    "Vielen Dank für Ihre schnelle Rückmeldung, das hilft uns sehr.",
    "Wir treffen uns um halb drei vor dem Bahnhof in Köln.",
    "Bitte denk daran, die Rechnung Nummer 4711 zu überweisen.",
    "Übermorgen fängt der Kurs für Fortgeschrittene an.",
};
const std::vector<std::string> kEnglish = {
    "The quick brown fox jumps over the lazy dog.",
    "We'll meet at ten past three on the second of March, won't we?",
    "Please send the quarterly report to the whole team by Friday.",
    "It's been a long day, and I'd like to go home now.",
    "The dictation system types the text into the focused field.",
};
const std::vector<std::string> kOther = {
    "東京は日本の首都です。", "我们今天去公园散步。", "👍🏽 Super, danke! 😀", "Preis: 12,50 € (inkl. MwSt.)",
};

// About `bytes` bytes of sentences drawn from the lists, separated by spaces and now and
// then by a line break.
std::string makeText(std::size_t bytes, bool mixed, unsigned seed) {
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < bytes) {
        const auto& list = !mixed ? kGerman : (random() % 10 < 5 ? kGerman : random() % 10 < 8 ? kEnglish : kOther);
        text += list[random() % list.size()];
        text += random() % 8 == 0 ? "\n" : " ";
    }
    text.resize(bytes);
    // Do not end inside a multi-byte character.
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
    if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
    return text;
}

// A plain frequency-driven BPE learner, fast enough for a few thousand merges.
std::string learnTokenizer(const std::string& corpus, int mergeCount) {
    std::map<std::string, int> vocab;
    for (int b = 0; b < 256; ++b) vocab[ByteLevel::text(static_cast<std::uint8_t>(b))] = b;
    std::map<std::string, int> pieceCounts;
    for (const auto& piece : bexmor::ByteLevelPreTokenizer(false, true).split(corpus)) ++pieceCounts[piece];
    std::vector<std::pair<std::vector<std::string>, int>> words;
    for (const auto& [piece, count] : pieceCounts) {
        std::vector<std::string> symbols;
        for (const char c : piece) symbols.push_back(ByteLevel::text(static_cast<std::uint8_t>(c)));
        words.emplace_back(std::move(symbols), count);
    }
    nlohmann::json merges = nlohmann::json::array();
    for (int m = 0; m < mergeCount; ++m) {
        std::map<std::pair<std::string, std::string>, int> counts;
        for (const auto& [w, n] : words)
            for (std::size_t i = 0; i + 1 < w.size(); ++i) counts[{w[i], w[i + 1]}] += n;
        if (counts.empty()) break;
        const auto best = std::max_element(counts.begin(), counts.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
        const auto [left, right] = best->first;
        merges.push_back(left + " " + right);
        vocab.emplace(left + right, static_cast<int>(vocab.size()));
        for (auto& [w, n] : words) {
            std::vector<std::string> merged;
            merged.reserve(w.size());
            for (std::size_t i = 0; i < w.size(); ++i) {
                if (i + 1 < w.size() && w[i] == left && w[i + 1] == right) {
                    merged.push_back(left + right);
                    ++i;
                } else {
                    merged.push_back(w[i]);
                }
            }
            w = std::move(merged);
        }
    }
    nlohmann::json doc;
    doc["pre_tokenizer"] = {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"use_regex", true}};
    doc["decoder"] = {{"type", "ByteLevel"}};
    doc["model"] = {{"type", "BPE"}, {"vocab", vocab}, {"merges", merges}};
    doc["added_tokens"] = nlohmann::json::array(
        {{{"id", static_cast<int>(vocab.size())}, {"content", "<|endoftext|>"}, {"special", true}}});
    return doc.dump();
}

struct Figures {
    double mean = 0;
    double stddev = 0;
};

template <class F>
Figures measure(F&& run) {
    run();  // warm-up
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    Figures f;
    for (const double v : ms) f.mean += v;
    f.mean /= double(ms.size());
    for (const double v : ms) f.stddev += (v - f.mean) * (v - f.mean);
    f.stddev = std::sqrt(f.stddev / double(ms.size() - 1));
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::string> tokenizerPath;
    bool csv = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tokenizer") == 0 && i + 1 < argc) {
            tokenizerPath = argv[++i];
        } else if (std::strcmp(argv[i], "--csv") == 0) {
            csv = true;
        } else {
            std::fprintf(stderr, "usage: %s [--tokenizer tokenizer.json] [--csv]\n", argv[0]);
            return 2;
        }
    }
#ifndef NDEBUG
    std::fprintf(stderr, "warning: built with assertions; figures are not representative\n");
#endif

    std::optional<BpeTokenizer> tokenizer;
    std::string source;
    try {
        if (tokenizerPath) {
            tokenizer.emplace(BpeTokenizer::fromFile(*tokenizerPath));
            source = *tokenizerPath;
        } else {
            std::fprintf(stderr, "learning merges (not timed)...\n");
            const std::string json = learnTokenizer(makeText(300000, true, 1), 4000);
            tokenizer.emplace(BpeTokenizer::fromJson(json));
            source = "learned, " + std::to_string(nlohmann::json::parse(json)["model"]["merges"].size()) + " merges";
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }

    struct Case {
        std::string name;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"encode mixed de/en/CJK/emoji", makeText(100000, true, 2)},
        {"encode German", makeText(100000, false, 3)},
    };
    if (csv) {
        std::printf("case,tokenizer,bytes,tokens,threads,mean_ms,stddev_ms,mb_per_s\n");
    } else {
        std::printf("| case | tokenizer | bytes | tokens | threads | time (ms) | MB/s |\n");
        std::printf("|---|---|---:|---:|---:|---:|---:|\n");
    }
    const auto print = [&](const std::string& name, const std::string& from, std::size_t bytes, std::size_t tokens,
                           const Figures& f) {
        const double mbps = double(bytes) / 1e6 / (f.mean / 1000.0);
        if (csv) {
            std::printf("%s,%s,%zu,%zu,1,%.3f,%.3f,%.2f\n", name.c_str(), from.c_str(), bytes, tokens, f.mean, f.stddev,
                        mbps);
        } else {
            std::printf("| %s | %s | %zu | %zu | 1 | %.2f ± %.2f | %.2f |\n", name.c_str(), from.c_str(), bytes, tokens,
                        f.mean, f.stddev, mbps);
        }
    };
    for (const auto& c : cases) {
        std::size_t tokens = 0;
        const Figures f = measure([&] { tokens = tokenizer->encode(c.text).size(); });
        print(c.name, source, c.text.size(), tokens, f);
        // Decoding back must give the text: a benchmark of a wrong result is worthless.
        if (tokenizer->decode(tokenizer->encode(c.text)) != c.text) {
            std::fprintf(stderr, "error: %s does not round-trip\n", c.name.c_str());
            return 1;
        }
    }

    {
        // Every position of this text starts a long partial match of the added token.
        const std::string longToken(4096, 'a');
        auto doc = nlohmann::json::parse(learnTokenizer(makeText(20000, false, 4), 200));
        doc["added_tokens"].push_back({{"id", static_cast<int>(doc["model"]["vocab"].size()) + 1},
                                       {"content", longToken},
                                       {"special", false}});
        const BpeTokenizer hostile = BpeTokenizer::fromJson(doc.dump());
        std::string text;
        for (std::size_t length = 4095; text.size() < 1000000; length = length == 1 ? 4095 : length - 1)
            text += std::string(length, 'a') + "b";
        std::size_t tokens = 0;
        const Figures f = measure([&] { tokens = hostile.encode(text).size(); });
        print("encode prefixes of a 4096-byte added token", "learned, 200 merges", text.size(), tokens, f);
    }
    std::fprintf(stderr, "hardware threads: %u\n", std::thread::hardware_concurrency());
    return 0;
}

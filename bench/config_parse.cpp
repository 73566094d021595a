// Reading a tokenizer-sized JSON document into a Config, and looking up its vocabulary.
//
// The document is generated in memory (no file I/O is timed): a "model" object with a
// 50,000-entry "vocab" (byte-level BPE style keys, some non-ASCII) and enough "merges" to
// bring the document to about 5 MB, plus a few "added_tokens". The nlohmann DOM parse of
// the same bytes is shown as a reference point.
//
//     build/bin/bench_config_parse --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <cstdint>
#include <random>
#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "BexmorCore/External/Hub/Config.h"

namespace {

constexpr int vocabularySize = 50000;
constexpr std::size_t targetBytes = 5 * 1024 * 1024;

std::string tokenText(int id, std::mt19937& random) {
    static const char* const pieces[] = {"\xC4\xA0", "th", "e", "in", "er", "an", "\xC3\xA9", "\xE3\x81\x82", "ing",
                                         "o", "re", "\xC4\x8A", "s", "t", "al", "ou"};
    std::string text;
    const int length = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < length; ++i) text += pieces[random() % 16];
    return text + std::to_string(id);  // unique
}

const std::string& tokenizerDocument() {
    static const std::string document = [] {
        std::mt19937 random(42);
        std::string json = R"({"version":"1.0","added_tokens":[)";
        for (int i = 0; i < 100; ++i) {
            if (i > 0) json += ',';
            json += R"({"id":)" + std::to_string(vocabularySize + i) + R"(,"content":"<|special)" + std::to_string(i) +
                    R"(|>","single_word":false,"lstrip":false,"rstrip":false,"normalized":false,"special":true})";
        }
        json += R"(],"model":{"type":"BPE","dropout":null,"unk_token":null,"vocab":{)";
        std::vector<std::string> tokens;
        tokens.reserve(vocabularySize);
        for (int id = 0; id < vocabularySize; ++id) {
            tokens.push_back(tokenText(id, random));
            if (id > 0) json += ',';
            json += '"' + tokens.back() + "\":" + std::to_string(id);
        }
        json += R"(},"merges":[)";
        bool first = true;
        while (json.size() < targetBytes - 64) {
            if (!first) json += ',';
            first = false;
            json += '"' + tokens[random() % tokens.size()] + ' ' + tokens[random() % tokens.size()] + '"';
        }
        json += "]}}";
        return json;
    }();
    return document;
}

void BM_ConfigParseTokenizerJson(benchmark::State& state) {
    const std::string& document = tokenizerDocument();
    for (auto _ : state) {
        bexmor::Config config = bexmor::Config::parse(document);
        benchmark::DoNotOptimize(config);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
    state.counters["document_MB"] = static_cast<double>(document.size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_ConfigParseTokenizerJson)->Unit(benchmark::kMillisecond);

void BM_NlohmannDomParseReference(benchmark::State& state) {
    const std::string& document = tokenizerDocument();
    for (auto _ : state) {
        nlohmann::json json = nlohmann::json::parse(document);
        benchmark::DoNotOptimize(json);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}
BENCHMARK(BM_NlohmannDomParseReference)->Unit(benchmark::kMillisecond);

// One vocabulary lookup as a tokenizer does it: walk to the vocab through by-value member
// lookups, then find one key. Its cost must not grow with the vocabulary, i.e. nothing is
// copied on the way.
void BM_VocabularyLookup(benchmark::State& state) {
    const bexmor::Config config = bexmor::Config::parse(tokenizerDocument());
    const auto keys = *config["model"]["vocab"].dictionary();
    std::vector<bexmor::BinaryDistinctString> probes;
    for (const auto& [key, value] : keys) {
        if (probes.size() == 1024) break;
        probes.push_back(key);
    }
    std::size_t next = 0;
    for (auto _ : state) {
        const auto vocab = config.member("model").member("vocab").dictionary();
        const auto found = vocab->find(probes[next++ % probes.size()]);
        benchmark::DoNotOptimize(found->second.integer());
    }
    state.counters["vocab_entries"] = static_cast<double>(keys.size());
}
BENCHMARK(BM_VocabularyLookup)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();

#include "TokenizerWriter.h"

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

namespace darivir {

namespace {

// A little English and German, enough for a few hundred merges.
constexpr const char* kCorpus =
    "The quick brown fox jumps over the lazy dog. This is a test of the dictation system, and the text "
    "that the speech model writes is typed into the focused field. Hello world, hello there, thank you "
    "for listening. We meet at ten past three on the second of March in the year 2024. "
    "Der schnelle braune Fuchs springt über den faulen Hund. Das ist ein Test der Spracheingabe, und der "
    "Text wird in das Feld geschrieben. Guten Morgen, vielen Dank, bis morgen. Ich möchte gerne einen "
    "Termin am Donnerstag um vierzehn Uhr. Können Sie mir bitte helfen? Die Straße ist schön.";

// Bytes 33-126, 161-172 and 174-255 stand for themselves; the other 68 bytes map to
// U+0100 upwards in byte order.
std::vector<std::string> byteTable() {
    std::vector<std::string> table(256);
    auto utf8 = [](uint32_t cp) {
        std::string s;
        if (cp < 0x80) s.push_back(char(cp));
        else {
            s.push_back(char(0xc0 | (cp >> 6)));
            s.push_back(char(0x80 | (cp & 0x3f)));
        }
        return s;
    };
    uint32_t next = 0x100;
    for (uint32_t b = 0; b < 256; ++b) {
        const bool self = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174);
        table[b] = utf8(self ? b : next++);
    }
    return table;
}

bool isLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80; }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// A rough form of the byte-level split: an optional space, then a run of letters,
// digits or other characters.
std::vector<std::string> pieces(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        std::string piece;
        if (text[i] == ' ' && i + 1 < text.size() && text[i + 1] != ' ') piece.push_back(text[i++]);
        const unsigned char c = static_cast<unsigned char>(text[i]);
        auto same = [&](unsigned char d) {
            if (isLetter(c)) return isLetter(d);
            if (isDigit(c)) return isDigit(d);
            return !isLetter(d) && !isDigit(d) && d != ' ';
        };
        do piece.push_back(text[i++]);
        while (i < text.size() && same(static_cast<unsigned char>(text[i])));
        out.push_back(piece);
    }
    return out;
}

}  // namespace

const std::vector<std::string>& languageCodes() {
    static const std::vector<std::string> codes = {
        "en", "zh", "de", "es", "ru", "ko", "fr", "ja", "pt", "tr", "pl", "ca", "nl", "ar", "sv", "it", "id",
        "hi", "fi", "vi", "he", "uk", "el", "ms", "cs", "ro", "da", "hu", "ta", "no", "th", "ur", "hr", "bg",
        "lt", "la", "mi", "ml", "cy", "sk", "te", "fa", "lv", "bn", "sr", "az", "sl", "kn", "et", "mk", "br",
        "eu", "is", "hy", "ne", "mn", "bs", "kk", "sq", "sw", "gl", "mr", "pa", "si", "km", "sn", "yo", "so",
        "af", "oc", "ka", "be", "tg", "sd", "gu", "am", "yi", "lo", "uz", "fo", "ht", "ps", "tk", "nn", "mt",
        "sa", "lb", "my", "bo", "tl", "mg", "as", "tt", "haw", "ln", "ha", "ba", "jw", "su", "yue"};
    return codes;
}

TokenizerFiles tinyTokenizer(int mergeCount, const std::string& extraText) {
    const auto table = byteTable();
    nlohmann::ordered_json vocab = nlohmann::ordered_json::object();
    int64_t id = 0;
    // Byte tokens in the table's printable order first, as the family's files have them.
    std::vector<int> order;
    for (int b = 0; b < 256; ++b) {
        const bool self = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174);
        if (self) order.push_back(b);
    }
    for (int b = 0; b < 256; ++b)
        if (!((b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174))) order.push_back(b);
    for (int b : order) vocab[table[size_t(b)]] = id++;

    // Learn merges: words as lists of symbols, weighted by frequency.
    std::map<std::vector<std::string>, int> words;
    for (const auto& p : pieces(kCorpus)) {
        std::vector<std::string> symbols;
        for (unsigned char c : p) symbols.push_back(table[c]);
        ++words[symbols];
    }
    // The extra text counts twice, so that every pair in it is worth a merge.
    const auto extraPieces = pieces(extraText);
    for (const auto& p : extraPieces) {
        std::vector<std::string> symbols;
        for (unsigned char c : p) symbols.push_back(table[c]);
        words[symbols] += 2;
    }
    if (!extraText.empty()) mergeCount += int(extraText.size());
    std::vector<std::pair<std::string, std::string>> learnt;
    nlohmann::ordered_json merges = nlohmann::ordered_json::array();
    for (int m = 0; m < mergeCount; ++m) {
        std::map<std::pair<std::string, std::string>, int> counts;
        for (const auto& [w, n] : words)
            for (size_t i = 0; i + 1 < w.size(); ++i) counts[{w[i], w[i + 1]}] += n;
        std::pair<std::string, std::string> best;
        int bestCount = 1;
        for (const auto& [pair, n] : counts)
            if (n > bestCount) best = pair, bestCount = n;
        if (bestCount < 2) break;
        const std::string joined = best.first + best.second;
        if (vocab.contains(joined)) continue;
        merges.push_back(best.first + " " + best.second);
        learnt.push_back(best);
        vocab[joined] = id++;
        std::map<std::vector<std::string>, int> next;
        for (const auto& [w, n] : words) {
            std::vector<std::string> out;
            for (size_t i = 0; i < w.size(); ++i) {
                if (i + 1 < w.size() && w[i] == best.first && w[i + 1] == best.second) out.push_back(joined), ++i;
                else out.push_back(w[i]);
            }
            next[out] += n;
        }
        words = std::move(next);
    }

    std::vector<std::string> specials = {"<|endoftext|>", "<|startoftranscript|>"};
    for (const auto& code : languageCodes()) specials.push_back("<|" + code + "|>");
    for (const char* s : {"<|translate|>", "<|transcribe|>", "<|startoflm|>", "<|startofprev|>", "<|nospeech|>",
                          "<|notimestamps|>"})
        specials.push_back(s);
    for (int i = 0; i <= 1500; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "<|%d.%02d|>", i / 50, (i % 50) * 2);
        specials.push_back(text);
    }
    TokenizerFiles files;
    files.endOfText = id;
    files.startOfTranscript = id + 1;
    nlohmann::ordered_json added = nlohmann::ordered_json::array();
    for (const auto& s : specials) {
        added.push_back({{"id", id}, {"content", s}, {"single_word", false}, {"lstrip", false}, {"rstrip", false},
                         {"normalized", false}, {"special", true}});
        files.specialIds[s] = id;
        vocab[s] = id++;
    }
    files.vocabSize = id;
    // The text's pieces through the learnt merges, in their order.
    for (const auto& p : extraPieces) {
        std::vector<std::string> symbols;
        for (unsigned char c : p) symbols.push_back(table[c]);
        for (const auto& [left, right] : learnt) {
            std::vector<std::string> out;
            for (size_t i = 0; i < symbols.size(); ++i) {
                if (i + 1 < symbols.size() && symbols[i] == left && symbols[i + 1] == right) out.push_back(left + right), ++i;
                else out.push_back(symbols[i]);
            }
            symbols = std::move(out);
        }
        for (const auto& symbol : symbols) files.textTokens.push_back(vocab[symbol].get<int64_t>());
    }

    nlohmann::ordered_json tokenizer = {
        {"version", "1.0"},
        {"truncation", nullptr},
        {"padding", nullptr},
        {"added_tokens", added},
        {"normalizer", nullptr},
        {"pre_tokenizer", {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"trim_offsets", true}, {"use_regex", true}}},
        {"post_processor", {{"type", "ByteLevel"}, {"add_prefix_space", true}, {"trim_offsets", false}, {"use_regex", true}}},
        {"decoder", {{"type", "ByteLevel"}, {"add_prefix_space", true}, {"trim_offsets", true}, {"use_regex", true}}},
        {"model", {{"type", "BPE"}, {"dropout", nullptr}, {"unk_token", nullptr}, {"continuing_subword_prefix", ""},
                   {"end_of_word_suffix", ""}, {"fuse_unk", false}, {"byte_fallback", false}, {"vocab", vocab},
                   {"merges", merges}}},
    };
    files.tokenizerJson = tokenizer.dump(2) + "\n";
    nlohmann::ordered_json config = {
        {"add_prefix_space", false}, {"bos_token", "<|endoftext|>"}, {"eos_token", "<|endoftext|>"},
        {"unk_token", "<|endoftext|>"}, {"pad_token", "<|endoftext|>"}, {"errors", "replace"},
        {"model_max_length", 1024}, {"tokenizer_class", "DarivirTokenizer"}};
    files.tokenizerConfigJson = config.dump(2) + "\n";
    return files;
}

}  // namespace darivir

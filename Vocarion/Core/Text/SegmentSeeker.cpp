#include "Vocarion/Core/Text/SegmentSeeker.h"

#include <algorithm>

#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/DarivirTokenizer.h"

namespace vocarion {

namespace {

constexpr size_t kSamplesPerTimeToken = static_cast<size_t>(Constants::sampleRate * Constants::secondsPerTimeToken);  // 320

float seconds(size_t samples) { return static_cast<float>(samples) / Constants::sampleRate; }

TranscriptionSegment makeSegment(const DecodingResult& result, int id, const WindowSpan& window, float start, float end,
                                 std::vector<int> tokens, std::vector<float> logProbs, const DecodingOptions& options,
                                 const DarivirTokenizer& tokenizer) {
    const int specialBegin = tokenizer.specialTokens().specialTokenBegin;
    std::vector<int> textTokens;
    for (int token : tokens)
        if (!options.skipSpecialTokens || token < specialBegin) textTokens.push_back(token);
    TranscriptionSegment segment;
    segment.id = id;
    segment.seek = static_cast<int>(window.start / Constants::hopLength);
    segment.start = start;
    segment.end = end;
    segment.text = tokenizer.decode(textTokens);
    segment.tokens = std::move(tokens);
    segment.tokenLogProbs = std::move(logProbs);
    segment.temperature = result.temperature;
    segment.avgLogprob = result.avgLogProb;
    segment.compressionRatio = result.compressionRatio;
    segment.noSpeechProb = result.noSpeechProb;
    return segment;
}

}  // namespace

std::pair<size_t, std::vector<TranscriptionSegment>> SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& result, const DecodingOptions& options, int firstSegmentId, const WindowSpan& window,
    const DarivirTokenizer& tokenizer) const {
    const size_t windowEnd = window.start + window.length;
    const float windowStart = seconds(window.start);
    const float windowStop = seconds(std::min(windowEnd, std::max(window.audioEnd, window.start)));
    std::vector<TranscriptionSegment> segments;
    const auto& tokens = result.tokens;
    const int timeBegin = tokenizer.specialTokens().timeTokenBegin;
    auto isTime = [&](int token) { return token >= timeBegin; };
    auto timeOf = [&](int token) { return static_cast<size_t>(token - timeBegin) * kSamplesPerTimeToken; };

    if (options.withoutTimestamps || tokens.empty()) {
        segments.push_back(makeSegment(result, firstSegmentId, window, windowStart, windowStop, tokens,
                                       result.tokenLogProbs, options, tokenizer));
        return {windowEnd, std::move(segments)};
    }

    // Cut after every pair of consecutive timestamps.
    std::vector<size_t> cuts;
    for (size_t i = 1; i < tokens.size(); ++i)
        if (isTime(tokens[i]) && isTime(tokens[i - 1])) cuts.push_back(i);
    const bool singleTimestampEnding =
        tokens.size() >= 2 && isTime(tokens.back()) && !isTime(tokens[tokens.size() - 2]);

    if (cuts.empty()) {
        // One segment; its last timestamp, if any, gives its end. "<|0.00|>" only ever
        // opens the text (as the first token of a window with timestamps), so it leaves
        // the segment running to the end of the window.
        float end = windowStop;
        for (auto it = tokens.rbegin(); it != tokens.rend(); ++it)
            if (isTime(*it)) {
                if (*it != timeBegin) end = std::min(windowStop, seconds(window.start + timeOf(*it)));
                break;
            }
        segments.push_back(makeSegment(result, firstSegmentId, window, windowStart, end, tokens, result.tokenLogProbs,
                                       options, tokenizer));
        return {windowEnd, std::move(segments)};
    }

    std::vector<size_t> bounds = cuts;
    if (singleTimestampEnding) bounds.push_back(tokens.size());
    size_t last = 0;
    int id = firstSegmentId;
    for (size_t bound : bounds) {
        if (bound <= last) continue;
        std::vector<int> slice(tokens.begin() + static_cast<std::ptrdiff_t>(last), tokens.begin() + static_cast<std::ptrdiff_t>(bound));
        std::vector<float> logProbs(result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(last),
                                    result.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(bound));
        const float start = isTime(slice.front()) ? seconds(window.start + timeOf(slice.front())) : windowStart;
        const float end = isTime(slice.back()) ? seconds(window.start + timeOf(slice.back())) : windowStop;
        // Timestamps past the end of the audio (a padded window) are clipped to it.
        const float clippedEnd = std::min(end, windowStop);
        segments.push_back(makeSegment(result, id++, window, std::min(start, clippedEnd), clippedEnd, std::move(slice),
                                       std::move(logProbs), options, tokenizer));
        last = bound;
    }
    size_t seek = windowEnd;
    if (!singleTimestampEnding) {
        // The text after the last complete segment is decoded again in the next window.
        const size_t lastTime = timeOf(tokens[cuts.back() - 1]);
        if (lastTime > 0) seek = window.start + lastTime;
    }
    return {seek > window.start ? seek : windowEnd, std::move(segments)};
}

}  // namespace vocarion

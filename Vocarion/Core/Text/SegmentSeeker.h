#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/Models.h"

namespace vocarion {

class DarivirTokenizer;

// Where one decoded window lies in the audio, in samples.
struct WindowSpan {
    size_t start = 0;         // first sample of the window
    size_t length = 0;        // samples per full window
    size_t audioEnd = 0;      // samples of audio in total (the window may run past it)
};

// Turns one window's decoding into segments and decides where the next window starts.
class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;
    // Returns the next seek position (in samples, always past window.start) and the segments,
    // numbered from firstSegmentId, with times in seconds from the start of the audio.
    virtual std::pair<size_t, std::vector<TranscriptionSegment>> findSeekPointAndSegments(
        const DecodingResult& result, const DecodingOptions& options, int firstSegmentId, const WindowSpan& window,
        const DarivirTokenizer& tokenizer) const = 0;
};

// Without timestamps a window is one segment and the next window starts where it ends.
// With timestamps the text is cut at each pair of timestamps; when the window's text ends
// inside a segment, the next window starts at the last complete segment's end.
class SegmentSeeker : public SegmentSeeking {
public:
    std::pair<size_t, std::vector<TranscriptionSegment>> findSeekPointAndSegments(
        const DecodingResult& result, const DecodingOptions& options, int firstSegmentId, const WindowSpan& window,
        const DarivirTokenizer& tokenizer) const override;
};

}  // namespace vocarion

#pragma once

#include <span>

namespace korvu {

// Whether a recording holds speech at all, asked before the speech model runs: on a
// recording of silence the model makes a sentence up ("Guten Morgen."), which would then
// be typed. The engine's energy detector finds the frames that stand clearly above the
// recording's own noise floor, so a quiet voice in a quiet room counts as well as a loud
// one; a lone click (one frame) does not. A recording whose quietest part is already loud
// (speech without a pause, or a loud room) is left to the model.
bool containsSpeech(std::span<const float> samples);

}  // namespace korvu

#pragma once

#include <span>

namespace korvu {

// Whether a recording holds speech at all, asked before the speech model runs: on a
// recording of silence or of steady room noise the model makes a sentence up
// ("Guten Morgen."), which would then be typed.
//
// Each 0.1 s frame of the engine's energy detector is judged twice: by its loudness, and
// by how well a short linear predictor foresees its samples. A voice is shaped by the
// resonances of throat and mouth and is foreseen well; steady noise is not (white noise
// not at all, pink noise hardly). The recording's own noise floor is taken from its
// audible frames that sound like noise, so a room heard after a stretch of digital
// silence (a microphone that opens late, a virtual one fed late) is measured as the room,
// not as the silence; a recording without such frames keeps the detector's floor over
// all frames. Speech is two or more frames that stand clearly above that floor (0.2 s, a
// short word; a lone click, one frame, is none) with a voice in them: two frames that
// sound like one, or one that sounds like nothing else (a short vowel between hissing
// sounds and stops, as in "Sechs").
//
// Linear in the length of the recording, about 15 multiply-adds per sample.
bool containsSpeech(std::span<const float> samples);

}  // namespace korvu

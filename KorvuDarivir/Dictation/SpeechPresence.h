#pragma once

#include <span>

namespace korvu {

// Whether a recording holds speech at all, asked before the speech model runs: on a
// recording of silence or of steady room noise the model makes a sentence up
// ("Guten Morgen."), which would then be typed.
//
// Digital silence (runs of exact zeros) says nothing of the sound: before and after it, it is
// a microphone opening late or a feed ending early, and is cut off; inside it, it is a gate in
// the microphone chain (a noise gate, a noise suppressor's voice threshold) that silenced the
// quiet parts of the speech, and stays where it is. A quiet stretch of a sound that goes on is
// no digital silence, however near the silence level. Each 0.1 s frame of the engine's energy
// detector is then judged twice: by its loudness, and by how well a short linear predictor
// foresees its samples. A voice is shaped by the resonances of throat and mouth and is
// foreseen well; steady noise is not (white noise not at all, pink noise hardly).
//
// The floor a frame must stand clearly above depends on what the recording shows of its
// quiet part. Behind a gate (digital silence inside the sound) it is the level at which the
// gate closes and opens, measured just beside its silence: speech stands well above it
// between the pauses the gate took, a steady sound that sets a gate chattering stands at it.
// Otherwise the recording's own noise floor is taken from its frames that sound like noise. A
// sound without such frames (a rumble, a dull or narrow noise, a hum, a tone: the predictor
// foresees them as well as a voice) is measured against itself: a frame must stand clearly
// above the quiet part of the sound within the second before it and within the second after
// it. Speech rose from below and falls again within a second; a steady sound never stands
// above itself, and a sound that steps to another level and stays there never stands above
// its own future. A sound of up to two seconds between digital silence (a quick sentence that
// a gate opened for) is also measured against its level where it meets that silence, which
// its words rose from and fell to. A sound shorter than a second is too short for either and
// is measured against the digital silence around it (a short word), or against its quietest
// frames when there is none. Speech is two or more frames that stand clearly above that floor
// (0.2 s, a short word; a lone click, one frame, is none) with a voice in them: two frames that
// sound like one, or one that sounds like nothing else (a short vowel between hissing sounds
// and stops, as in "Sechs").
//
// Linear in the length of the recording, about 15 multiply-adds per sample.
bool containsSpeech(std::span<const float> samples);

}  // namespace korvu

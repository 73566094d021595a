#pragma once

namespace korvu {

// Where a dictation stands.
enum class DictationPhase {
    idle,        // no dictation in progress
    recording,   // the microphone is being recorded
    processing,  // transcribing, cleaning up and inserting; cannot be cancelled
};

}  // namespace korvu

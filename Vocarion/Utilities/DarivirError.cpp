#include "Vocarion/Utilities/DarivirError.h"

#include <utility>

namespace vocarion {

DarivirError::DarivirError(Kind kind, std::string detail)
    : kind_(kind), detail_(std::move(detail)), message_(text(kind)) {
    if (!detail_.empty()) {
        message_ += ": ";
        message_ += detail_;
    }
}

std::string_view DarivirError::text(Kind kind) {
    switch (kind) {
    case Kind::tokenizerUnavailable: return "Tokenizer is unavailable";
    case Kind::modelsUnavailable: return "Models are unavailable";
    case Kind::prefillFailed: return "Prefill failed";
    case Kind::audioProcessingFailed: return "Audio processing failed";
    case Kind::decodingLogitsFailed: return "Decoding logits failed";
    case Kind::segmentingFailed: return "Segmenting failed";
    case Kind::loadAudioFailed: return "Loading the audio failed";
    case Kind::prepareDecoderInputsFailed: return "Preparing the decoder inputs failed";
    case Kind::transcriptionFailed: return "Transcription failed";
    case Kind::decodingFailed: return "Decoding failed";
    case Kind::microphoneUnavailable: return "No microphone is available";
    }
    return "Speech engine error";
}

DarivirError DarivirError::tokenizerUnavailable(std::string d) { return DarivirError(Kind::tokenizerUnavailable, std::move(d)); }
DarivirError DarivirError::modelsUnavailable(std::string d) { return DarivirError(Kind::modelsUnavailable, std::move(d)); }
DarivirError DarivirError::prefillFailed(std::string d) { return DarivirError(Kind::prefillFailed, std::move(d)); }
DarivirError DarivirError::audioProcessingFailed(std::string d) { return DarivirError(Kind::audioProcessingFailed, std::move(d)); }
DarivirError DarivirError::decodingLogitsFailed(std::string d) { return DarivirError(Kind::decodingLogitsFailed, std::move(d)); }
DarivirError DarivirError::segmentingFailed(std::string d) { return DarivirError(Kind::segmentingFailed, std::move(d)); }
DarivirError DarivirError::loadAudioFailed(std::string d) { return DarivirError(Kind::loadAudioFailed, std::move(d)); }
DarivirError DarivirError::prepareDecoderInputsFailed(std::string d) { return DarivirError(Kind::prepareDecoderInputsFailed, std::move(d)); }
DarivirError DarivirError::transcriptionFailed(std::string d) { return DarivirError(Kind::transcriptionFailed, std::move(d)); }
DarivirError DarivirError::decodingFailed(std::string d) { return DarivirError(Kind::decodingFailed, std::move(d)); }
DarivirError DarivirError::microphoneUnavailable(std::string d) { return DarivirError(Kind::microphoneUnavailable, std::move(d)); }

}  // namespace vocarion

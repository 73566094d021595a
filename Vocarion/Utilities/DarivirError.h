#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace vocarion {

// The speech engine's error. what() is an English sentence for the user: the case's own
// text, followed by ": " and the detail when there is one, e.g.
// "Models are unavailable: AudioEncoder.mlmodelc is missing in /path/to/variant".
class DarivirError : public std::exception {
public:
    enum class Kind {
        tokenizerUnavailable,
        modelsUnavailable,
        prefillFailed,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
    };

    explicit DarivirError(Kind kind, std::string detail = {});

    static DarivirError tokenizerUnavailable(std::string detail = {});
    static DarivirError modelsUnavailable(std::string detail = {});
    static DarivirError prefillFailed(std::string detail = {});
    static DarivirError audioProcessingFailed(std::string detail = {});
    static DarivirError decodingLogitsFailed(std::string detail = {});
    static DarivirError segmentingFailed(std::string detail = {});
    static DarivirError loadAudioFailed(std::string detail = {});
    static DarivirError prepareDecoderInputsFailed(std::string detail = {});
    static DarivirError transcriptionFailed(std::string detail = {});
    static DarivirError decodingFailed(std::string detail = {});
    static DarivirError microphoneUnavailable(std::string detail = {});

    Kind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // The case's own text, without a detail.
    static std::string_view text(Kind kind);

private:
    Kind kind_;
    std::string detail_;
    std::string message_;
};

}  // namespace vocarion

#pragma once

#include "Platform/Defaults/WriteError.h"

#include <QNetworkReply>
#include <QString>

#include <exception>
#include <filesystem>

namespace korvu {

// What the user reads when a library or the network failed: a German sentence of our own
// that says what went wrong in the user's terms and what to do about it. The library's
// own text (English, with host names, errno texts and the like) goes to the log only.
class FailureText {
public:
    FailureText() = delete;

    // The speech model's download ended with `error` (the hub client's, the HTTP layer's,
    // the file system's or the engine's).
    static QString modelDownload(std::exception_ptr error);
    // Building the engine from the model folder `folder` failed: whatever the engine
    // found wrong, the folder's files are incomplete or damaged.
    static QString modelLoad(const std::filesystem::path& folder);
    // The update feed could not be fetched: Qt's error for the reply and its HTTP status
    // (0 when there was no answer).
    static QString updateCheck(QNetworkReply::NetworkError error, int httpStatus);

    // A file of the user's (settings, history) could not be written: why, in the user's
    // terms, and what to do, e.g. "Der Datenträger ist voll. Gib Speicherplatz frei und
    // versuche es erneut."
    static QString notSaved(const platform::WriteError& error);

    // The library's text of `error`, for the log.
    static QString libraryText(std::exception_ptr error);
    // Writes one line "component: text" to the application's log (standard error).
    static void log(const char* component, const QString& text);
};

}  // namespace korvu

#pragma once

#include "KorvuDarivir/Store/BuildSettings.h"
#include "KorvuDarivir/Store/CleanupStyle.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace korvu {

// A failed cleanup that the language-model API reported.
class TextCleanerError : public std::exception {
public:
    enum class Case { http, refused, emptyResponse };

    static TextCleanerError http(int status, const QString& message);
    static TextCleanerError refused();
    static TextCleanerError emptyResponse();

    Case errorCase() const { return case_; }
    // The HTTP status and the API's message (http only; 0 and empty otherwise).
    int status() const { return status_; }
    const QString& message() const { return message_; }
    // "Claude API Fehler 429: …", "Claude hat die Aufbereitung abgelehnt." or
    // "Claude hat keinen Text zurückgegeben."
    QString description() const;
    const char* what() const noexcept override { return utf8_.c_str(); }

private:
    TextCleanerError(Case errorCase, int status, QString message);
    Case case_;
    int status_ = 0;
    QString message_;
    std::string utf8_;
};

// No answer from the network: no connection, a time-out, a refused redirect. The
// description is German and meant for the user; it never holds the key.
class NetworkError : public std::exception {
public:
    enum class Kind { timedOut, redirectRefused, hostNotFound, connectionRefused, connectionLost, secureConnectionFailed, other };

    NetworkError(Kind kind, const QString& description);
    Kind kind() const { return kind_; }
    QString description() const { return QString::fromStdString(utf8_); }
    const char* what() const noexcept override { return utf8_.c_str(); }

private:
    Kind kind_;
    std::string utf8_;
};

// A 200 reply that is not the API's message object (not JSON, not valid UTF-8, a member
// missing or of the wrong type).
class JsonDecodingError : public std::exception {
public:
    explicit JsonDecodingError(std::string detail) : detail_(std::move(detail)) {}
    const char* what() const noexcept override { return detail_.c_str(); }

private:
    std::string detail_;
};

// An answer longer than TextCleaner::maxAnswerBytes: no cleaned dictation is that long, so
// the rest is not read (a server that never stops sending would otherwise fill the memory).
class ResponseTooLargeError : public std::exception {
public:
    const char* what() const noexcept override;
};

// A key that cannot go into an HTTP header (control characters). It is refused before any
// request is made, so nothing of it reaches the network.
class InvalidAPIKeyError : public std::exception {
public:
    const char* what() const noexcept override;
};

// Where the language-model API lives, how long a request may stay silent (no bytes moving)
// before it fails, and how long it may take in all: a server that trickles a byte now and
// then never trips the silence limit, and a dictation must not wait on it for ever.
struct TextCleanerEndpoint {
    // The API's base address, ending in the version path "/v1/".
    QString baseAddress = QString::fromLatin1(build::cleanupEndpoint);
    std::chrono::milliseconds cleanupTimeout{30000};
    std::chrono::milliseconds validateTimeout{15000};
    std::chrono::milliseconds cleanupTotalLimit{45000};
    std::chrono::milliseconds validateTotalLimit{20000};
};

// The optional last text step of a dictation: the raw transcript goes with a German
// system prompt to the Anthropic Messages API, and the model's cleaned-up text comes back.
//
// The blocking calls wait until the answer is there: run them off the main thread, on any
// thread with a Qt event loop (QtConcurrent::run, a QThread). The asynchronous ones do that
// themselves: each request runs on the application's thread pool and its completion comes
// back through platform::deliver, dropped when the receiver is gone. Each call has its own
// network access manager, so several may run at once. There are no retries and no caching.
class TextCleaner {
public:
    TextCleaner() = delete;

    using Endpoint = TextCleanerEndpoint;
    // The cleaned text when `error` is null; otherwise one of the errors `clean` throws.
    using CleanCompletion = std::function<void(const QString& cleaned, std::exception_ptr error)>;
    using ValidateCompletion = std::function<void(const std::optional<QString>& message)>;

    // The most of an answer that is read, error answers included.
    static constexpr qint64 maxAnswerBytes = qint64(1) << 20;

    // `clean` and `validate` without waiting: they return at once (call them on the main
    // thread), and `done` runs later on the main thread while `receiver` exists.
    static void clean(const QString& text, const QString& apiKey, CleanupStyle style, const QStringList& vocabulary,
                      QPointer<QObject> receiver, CleanCompletion done, const Endpoint& endpoint = Endpoint());
    static void validate(const QString& apiKey, QPointer<QObject> receiver, ValidateCompletion done,
                         const Endpoint& endpoint = Endpoint());

    // The cleaned text, never empty. Throws TextCleanerError, NetworkError,
    // JsonDecodingError, ResponseTooLargeError or InvalidAPIKeyError.
    static QString clean(const QString& text, const QString& apiKey, CleanupStyle style,
                         const QStringList& vocabulary, const Endpoint& endpoint = Endpoint());

    // Checks a key against the API: none when it was accepted, otherwise a German message
    // for the user. Never throws.
    static std::optional<QString> validate(const QString& apiKey, const Endpoint& endpoint = Endpoint());
};

// The group of a target application, from its application id: the other platform's bundle
// identifiers and, beside them, the lower-cased X11 window classes of the Linux programs.
// Exact and case-sensitive; a missing id counts as the empty string; no match is `other`.
StyleApp styleAppMatching(const std::optional<QString>& bundleID);

}  // namespace korvu

// File metadata from the hub and the ".metadata" records of the local cache.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <fstream>
#include <sstream>
#include <system_error>

#include "BexmorCore/External/Hub/FileHashing.h"
#include "BexmorCore/Unicode.h"
#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/External/Hub/HubPaths.h"

namespace bexmor {

namespace fs = std::filesystem;

namespace {

std::optional<int64_t> parseSize(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    std::string_view digits = *text;
    if (digits.front() == '+') digits.remove_prefix(1);
    int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    // A negative size is no size: it would only turn into nonsense further on.
    if (value < 0) return std::nullopt;
    return value;
}

// Splits at every newline character: LF, VT, FF, CR, NEL, LS and PS, keeping empty pieces.
// Returns nullopt when the text is not valid UTF-8.
std::optional<std::vector<std::string>> splitLines(const std::string& text) {
    std::vector<std::string> pieces(1);
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        char32_t code = byte;
        if (byte >= 0x80) {
            if ((byte & 0xE0) == 0xC0) length = 2, code = byte & 0x1F;
            else if ((byte & 0xF0) == 0xE0) length = 3, code = byte & 0x0F;
            else if ((byte & 0xF8) == 0xF0) length = 4, code = byte & 0x07;
            else return std::nullopt;
            if (i + length > text.size()) return std::nullopt;
            for (size_t k = 1; k < length; ++k) {
                const auto next = static_cast<unsigned char>(text[i + k]);
                if ((next & 0xC0) != 0x80) return std::nullopt;
                code = (code << 6) | (next & 0x3F);
            }
            const bool overlong = (length == 2 && code < 0x80) || (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
            if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
        }
        const bool newline = code == 0x0A || code == 0x0B || code == 0x0C || code == 0x0D || code == 0x85 || code == 0x2028 || code == 0x2029;
        if (newline) {
            pieces.emplace_back();
        } else {
            pieces.back().append(text, i, length);
        }
        i += length;
    }
    return pieces;
}

// White space and newlines trimmed from both ends (Unicode's White_Space property, so the
// wide and narrow spaces count as well as blanks and tabs). The text is well-formed UTF-8.
std::string trimmed(const std::string& text) {
    const std::u16string units = Unicode::utf16(text);
    size_t start = 0;
    size_t end = units.size();
    while (start < end) {
        size_t next = start;
        if (!Unicode::isWhitespace(Unicode::scalarAt(units, start, &next))) break;
        start = next;
    }
    while (end > start) {
        size_t last = end - 1;
        if (last > start && (units[last] & 0xFC00) == 0xDC00 && (units[last - 1] & 0xFC00) == 0xD800) --last;
        if (!Unicode::isWhitespace(Unicode::scalarAt(units, last))) break;
        end = last;
    }
    if (start == 0 && end == units.size()) return text;
    return Unicode::utf8(std::u16string_view(units).substr(start, end - start));
}

std::optional<double> parseDouble(std::string text) {
    if (text.starts_with('+')) text.erase(0, 1);
    if (text.empty()) return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string removeAll(std::string text, const std::string& what) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) text.erase(at, what.size());
    return text;
}

// Shortest text that reads back as the same double, plain notation, always with a point.
std::string formatSeconds(double seconds) {
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

void logError(const std::string& line) {
    // Straight to the system log, whatever level the engine logger is set to. No openlog():
    // it would rename every syslog line of the whole process.
    ::syslog(LOG_USER | LOG_ERR, "%s", line.c_str());
}

}  // namespace

void HubApi::writeFileAtomically(const fs::path& path, const std::string& text) {
    std::string pattern = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "creating a temporary file");
    bool ok = true;
    int failure = 0;
    for (size_t written = 0; ok && written < text.size();) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false, failure = errno;
        else written += static_cast<size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false, failure = errno;
    if (::close(fd) != 0 && ok) ok = false, failure = errno;
    if (ok && ::rename(pattern.c_str(), path.c_str()) != 0) ok = false, failure = errno;
    if (!ok) {
        ::unlink(pattern.c_str());
        throw std::system_error(failure, std::generic_category());
    }
}

std::optional<std::string> HubApi::normalizeEtag(const std::optional<std::string>& etag) {
    if (!etag) return std::nullopt;
    std::string text = *etag;
    if (text.starts_with("W/")) text.erase(0, 2);
    const auto first = text.find_first_not_of('"');
    if (first == std::string::npos) return std::string();
    const auto last = text.find_last_not_of('"');
    return text.substr(first, last - first + 1);
}

HubApi::FileMetadata HubApi::getFileMetadata(const std::string& url, std::stop_token stop) const {
    return fileMetadata(httpHead(url, stop), url);
}

HubApi::FileMetadata HubApi::fileMetadata(const platform::HttpResponse& response, const std::string& url) {
    FileMetadata metadata;
    std::optional<std::string> location;
    if (response.status == 302) {
        location = response.headers.value("Location");
    } else if (!response.url.empty()) {
        location = response.url;
    }
    metadata.location = location.value_or(url);
    metadata.commitHash = response.headers.value("X-Repo-Commit");
    auto etag = response.headers.value("X-Linked-Etag");
    if (!etag) etag = response.headers.value("ETag");
    metadata.etag = normalizeEtag(etag);
    auto size = response.headers.value("X-Linked-Size");
    if (!size) size = response.headers.value("Content-Length");
    metadata.size = parseSize(size);
    if (size && !metadata.size) metadata.invalidSize = size;
    return metadata;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag, const fs::path& metadataPath) const {
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string text = commitHash + "\n" + etag + "\n" + formatSeconds(now) + "\n";
    try {
        if (metadataPath.has_parent_path()) fs::create_directories(metadataPath.parent_path());
        (writeRecord ? writeRecord : writeFileAtomically)(metadataPath, text);
    } catch (const std::system_error& error) {  // the file system's errors, with their code
        throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() + ": " + error.what(),
                                               error.code());
    } catch (const std::exception& error) {
        throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() + ": " + error.what());
    }
}

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(const fs::path& metadataPath) const {
    std::error_code existsError;
    if (!fs::exists(metadataPath, existsError)) return std::nullopt;
    std::string problem;
    try {
        std::ifstream in(metadataPath, std::ios::binary);
        if (!in) throw std::system_error(errno, std::generic_category(), "cannot open");
        std::ostringstream content;
        content << in.rdbuf();
        if (in.bad()) throw std::system_error(errno, std::generic_category(), "cannot read");
        const auto lines = splitLines(content.str());
        if (!lines) throw std::runtime_error("The file is not valid UTF-8 text.");
        if (lines->size() < 3) throw EnvironmentError::invalidMetadataError("Metadata file is missing required fields");
        const auto timestamp = parseDouble(trimmed((*lines)[2]));
        if (!timestamp) throw EnvironmentError::invalidMetadataError("Invalid timestamp format");
        return LocalDownloadFileMetadata{trimmed((*lines)[0]), trimmed((*lines)[1]),
                                         removeAll(metadataPath.filename().string(), ".metadata"), *timestamp};
    } catch (const EnvironmentError& error) {
        logError("Invalid metadata file " + hubpaths::fileUrlText(metadataPath) + ": " + error.what() +
                 ". Removing it from disk and continuing.");
    } catch (const std::exception& error) {
        logError("Error reading metadata file " + hubpaths::fileUrlText(metadataPath) + ": " + error.what() +
                 ". Removing it from disk and continuing.");
    }
    std::error_code removeError;
    fs::remove(metadataPath, removeError);
    if (removeError) throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " + removeError.message());
    return std::nullopt;
}

std::string HubApi::computeFileHash(const fs::path& file) const { return sha256OfFile(file); }

}  // namespace bexmor

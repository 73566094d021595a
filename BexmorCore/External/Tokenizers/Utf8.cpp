#include "BexmorCore/External/Tokenizers/Utf8.h"

namespace bexmor::utf8 {

namespace {

// The allowed range of the second byte after a given lead byte (Unicode Table 3-7);
// later continuation bytes are always 80..BF.
struct LeadInfo {
    std::size_t length;
    unsigned char secondLow;
    unsigned char secondHigh;
};

LeadInfo leadInfo(unsigned char lead) {
    if (lead < 0x80) return {1, 0, 0};
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead >= 0xE1 && lead <= 0xEC) return {3, 0x80, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xEE && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};  // 80..C1 and F5..FF never start a sequence
}

// How many bytes at the start of `bytes` follow the lead byte's rules (lead included).
std::size_t validPrefix(std::string_view bytes, const LeadInfo& info) {
    std::size_t count = 1;
    for (; count < info.length && count < bytes.size(); ++count) {
        const auto byte = static_cast<unsigned char>(bytes[count]);
        const unsigned char low = count == 1 ? info.secondLow : 0x80;
        const unsigned char high = count == 1 ? info.secondHigh : 0xBF;
        if (byte < low || byte > high) break;
    }
    return count;
}

}  // namespace

std::size_t wellFormedLength(std::string_view bytes) {
    if (bytes.empty()) return 0;
    const LeadInfo info = leadInfo(static_cast<unsigned char>(bytes[0]));
    if (info.length == 0) return 0;
    if (info.length == 1) return 1;
    const std::size_t prefix = validPrefix(bytes, info);
    return prefix == info.length ? info.length : 0;
}

std::size_t illFormedLength(std::string_view bytes) {
    if (bytes.empty()) return 0;
    const LeadInfo info = leadInfo(static_cast<unsigned char>(bytes[0]));
    if (info.length <= 1) return 1;
    return validPrefix(bytes, info);
}

std::string decodeLossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t position = 0;
    while (position < bytes.size()) {
        const std::string_view rest = bytes.substr(position);
        if (const std::size_t length = wellFormedLength(rest)) {
            out.append(rest.substr(0, length));
            position += length;
        } else {
            out.append("\xEF\xBF\xBD");
            position += illFormedLength(rest);
        }
    }
    return out;
}

void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace bexmor::utf8

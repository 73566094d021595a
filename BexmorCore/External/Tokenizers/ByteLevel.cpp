#include "BexmorCore/External/Tokenizers/ByteLevel.h"

#include "BexmorCore/External/Tokenizers/Utf8.h"

namespace bexmor {

struct ByteLevel::Tables {
    std::array<char32_t, 256> characters{};
    std::array<std::string, 256> texts;
    std::array<std::uint8_t, 68> shiftedBytes{};  // the byte behind U+0100 + n

    Tables() {
        char32_t next = 0x100;
        for (int b = 0; b < 256; ++b) {
            const bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174 && b <= 255);
            if (!printable) shiftedBytes[next - 0x100] = static_cast<std::uint8_t>(b);
            characters[b] = printable ? char32_t(b) : next++;
            utf8::append(texts[b], characters[b]);
        }
    }
};

const ByteLevel::Tables& ByteLevel::tables() {
    static const Tables instance;
    return instance;
}

char32_t ByteLevel::character(std::uint8_t byte) { return tables().characters[byte]; }

std::optional<std::uint8_t> ByteLevel::byte(char32_t c) {
    if ((c >= 33 && c <= 126) || (c >= 161 && c <= 172) || (c >= 174 && c <= 255)) {
        return static_cast<std::uint8_t>(c);
    }
    if (c >= 0x100 && c < 0x100 + 68) {
        return tables().shiftedBytes[c - 0x100];
    }
    return std::nullopt;
}

const std::string& ByteLevel::text(std::uint8_t byte) { return tables().texts[byte]; }

std::string ByteLevel::encode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char b : bytes) out += text(static_cast<std::uint8_t>(b));
    return out;
}

std::optional<std::string> ByteLevel::decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        const std::string_view rest = text.substr(position);
        const std::size_t length = utf8::wellFormedLength(rest);
        if (length == 0) return std::nullopt;
        char32_t c = 0;
        const auto lead = static_cast<unsigned char>(rest[0]);
        if (length == 1) {
            c = lead;
        } else {
            c = lead & (0xFF >> (length + 1));
            for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(rest[i]) & 0x3F);
        }
        const auto b = byte(c);
        if (!b) return std::nullopt;
        out.push_back(static_cast<char>(*b));
        position += length;
    }
    return out;
}

}  // namespace bexmor

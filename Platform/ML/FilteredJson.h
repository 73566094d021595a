#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace platform::ml {

// What a reader of an untrusted JSON file keeps of it. The parser asks before each member
// and each container; what is refused is parsed for its syntax only and never held, and a
// filter that throws ends the parse there, so a file beyond the reader's bounds costs no
// more than the part of it read so far. Depths count the containers open around the item:
// a member of the top-level object is at depth 1, as in the JSON library's callbacks.
class JsonFilter {
public:
    virtual ~JsonFilter() = default;
    // A member's key; false drops the member.
    virtual bool key(int /*depth*/, const std::string& /*key*/) { return true; }
    // An object or array about to be read (its member key, if any, already kept); false
    // drops it.
    virtual bool container(int /*depth*/, bool /*isArray*/) { return true; }
    // A number, string, true, false or null about to be kept.
    virtual void value(int /*depth*/, const nlohmann::json& /*value*/) {}
};

// Parses `text` keeping what `filter` keeps: work and memory linear in the text. The JSON
// library's own parser with a callback does the same, but searches the whole enclosing
// container after every object, which is quadratic in a list of many objects. Throws
// nlohmann::json::exception for a syntax error or a number out of range; whatever the
// filter throws passes through.
nlohmann::json parseFiltered(std::string_view text, JsonFilter& filter);

}  // namespace platform::ml

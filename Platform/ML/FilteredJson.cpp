#include "Platform/ML/FilteredJson.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform::ml {

namespace {

using Json = nlohmann::json;

// The JSON library's SAX interface, building a value of what the filter keeps.
class Builder {
public:
    explicit Builder(JsonFilter& filter) : filter_(filter) {}

    Json take() { return std::move(root_); }

    bool null() { return scalar(Json(nullptr)); }
    bool boolean(bool v) { return scalar(Json(v)); }
    bool number_integer(std::int64_t v) { return scalar(Json(v)); }
    bool number_unsigned(std::uint64_t v) { return scalar(Json(v)); }
    bool number_float(double v, const std::string&) { return scalar(Json(v)); }
    bool string(std::string& v) {
        if (!wanted()) return true;
        Json value(std::move(v));
        filter_.value(depth(), value);
        place(std::move(value));
        return true;
    }
    bool binary(Json::binary_t&) { return scalar(Json()); }

    bool start_object(std::size_t) { return open(false); }
    bool start_array(std::size_t) { return open(true); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& k) {
        keyKept_ = open_.back() != nullptr && filter_.key(depth(), k);
        if (keyKept_) key_ = std::move(k);
        return true;
    }

    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& error) {
        throw error;
    }

private:
    int depth() const { return static_cast<int>(open_.size()); }

    // Whether the value about to be read is kept: its container is, and so is its key.
    bool wanted() const {
        if (open_.empty()) return true;
        const Json* parent = open_.back();
        return parent != nullptr && (parent->is_array() || keyKept_);
    }

    Json* place(Json value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& parent = *open_.back();
        if (parent.is_array()) {
            parent.get_ref<Json::array_t&>().push_back(std::move(value));
            return &parent.get_ref<Json::array_t&>().back();
        }
        keyKept_ = false;
        return &(parent.get_ref<Json::object_t&>()[std::move(key_)] = std::move(value));
    }

    bool scalar(Json value) {
        if (!wanted()) return true;
        filter_.value(depth(), value);
        place(std::move(value));
        return true;
    }

    // A container that is not kept is still walked (for its syntax) with a null entry on
    // the stack, so everything inside it is dropped without asking the filter.
    bool open(bool isArray) {
        Json* kept = nullptr;
        if (wanted() && filter_.container(depth(), isArray)) kept = place(isArray ? Json::array() : Json::object());
        else if (!open_.empty()) keyKept_ = false;
        open_.push_back(kept);
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    JsonFilter& filter_;
    Json root_;
    // The open containers, innermost last; null for one that is being dropped. A pointer
    // stays valid while its container is open: nothing is added to its parent meanwhile.
    std::vector<Json*> open_;
    std::string key_;
    bool keyKept_ = false;
};

}  // namespace

Json parseFiltered(std::string_view text, JsonFilter& filter) {
    Builder builder(filter);
    Json::sax_parse(text.begin(), text.end(), &builder);
    return builder.take();
}

}  // namespace platform::ml

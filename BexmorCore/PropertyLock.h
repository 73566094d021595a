#pragma once

#include <functional>
#include <type_traits>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "BexmorCore/UnfairLock.h"

namespace bexmor {

// A value guarded by its own lock, as the transcription result keeps each of its fields.
// Reads return a copy taken under the lock; writes replace the value under the lock.
//
// Read-modify-write goes through `modify`, which runs the whole change under the lock:
// reading a copy, changing it and writing it back would let two threads that change the
// value at once lose one change. The change must not touch the same wrapper again (the
// lock is not recursive).
//
// The wrapper cannot be copied (a copy would carry a value of its own that silently
// drifts from the original); it can be moved while no other thread uses it.
//
// Its JSON form has no level of its own: a wrapped field encodes and decodes exactly as
// its value would (see the serializer below).
template <class Value>
class PropertyLock {
public:
    PropertyLock() requires std::is_default_constructible_v<Value> : value_() {}
    PropertyLock(Value value) : value_(std::move(value)) {}  // NOLINT: wraps like a plain field
    PropertyLock(PropertyLock&& other) : value_(other.lock_.withLock([&] { return std::move(other.value_); })) {}
    PropertyLock(const PropertyLock&) = delete;
    PropertyLock& operator=(const PropertyLock&) = delete;

    PropertyLock& operator=(Value value) {
        set(std::move(value));
        return *this;
    }

    Value get() const {
        return lock_.withLock([&] { return value_; });
    }

    void set(Value value) {
        // The old value is destroyed after the lock is released.
        lock_.withLock([&] { std::swap(value_, value); });
    }

    // Applies `change` to the stored value while holding the lock, and returns what it
    // returns. The whole read-modify-write is atomic with respect to every other access.
    template <class Change>
    std::invoke_result_t<Change&, Value&> modify(Change&& change) {
        return lock_.withLock([&]() -> std::invoke_result_t<Change&, Value&> { return std::invoke(change, value_); });
    }

    // Lets `reader` look at the stored value while holding the lock (encoding does this,
    // so a value is never encoded half-changed).
    template <class Reader>
    std::invoke_result_t<Reader&, const Value&> withLock(Reader&& reader) const {
        return lock_.withLock(
            [&]() -> std::invoke_result_t<Reader&, const Value&> { return std::invoke(reader, std::as_const(value_)); });
    }

private:
    mutable UnfairLock lock_;
    Value value_;
};

}  // namespace bexmor

namespace nlohmann {

template <class Value>
struct adl_serializer<bexmor::PropertyLock<Value>, void> {
    template <class Json>
    static void to_json(Json& json, const bexmor::PropertyLock<Value>& wrapped) {
        wrapped.withLock([&](const Value& value) { json = value; });
    }

    template <class Json>
    static void from_json(const Json& json, bexmor::PropertyLock<Value>& wrapped) {
        // Decoded first, so a decoding failure leaves the wrapper as it was.
        wrapped.set(json.template get<Value>());
    }
};

}  // namespace nlohmann

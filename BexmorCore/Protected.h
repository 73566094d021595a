#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

namespace bexmor {

// A heap cell that holds a lock and a value together, as the engine keeps its loaded
// model handles. Copies of the wrapper refer to the same cell and so to the same value.
// `Protected<std::optional<T>>` starts out absent.
//
// As with PropertyLock, a read-modify-write goes through `modify`, which holds the lock
// for the whole change; the change must not touch the same cell again.
template <class Value>
class Protected {
public:
    Protected() requires std::is_default_constructible_v<Value> : cell_(std::make_shared<Cell>()) {}
    Protected(Value value) : cell_(std::make_shared<Cell>(std::move(value))) {}  // NOLINT: wraps like a plain field

    Value get() const {
        std::scoped_lock guard(cell_->mutex);
        return cell_->value;
    }

    void set(Value value) {
        {
            std::scoped_lock guard(cell_->mutex);
            std::swap(cell_->value, value);
        }
        // The old value (now in `value`) is destroyed here, outside the lock.
    }

    Protected& operator=(Value value) {
        set(std::move(value));
        return *this;
    }

    template <class Change>
    std::invoke_result_t<Change&, Value&> modify(Change&& change) {
        std::scoped_lock guard(cell_->mutex);
        return std::invoke(change, cell_->value);
    }

    template <class Reader>
    std::invoke_result_t<Reader&, const Value&> withLock(Reader&& reader) const {
        std::scoped_lock guard(cell_->mutex);
        return std::invoke(reader, std::as_const(cell_->value));
    }

private:
    struct Cell {
        Cell() = default;
        explicit Cell(Value initial) : value(std::move(initial)) {}
        std::mutex mutex;
        Value value{};
    };

    std::shared_ptr<Cell> cell_;
};

}  // namespace bexmor

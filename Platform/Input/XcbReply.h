#pragma once

// Small pieces every xcb caller of the layer needs: replies freed by RAII and
// interned atoms.

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace platform::xcbutil {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> wrap(T* reply)
{
    return Reply<T>(reply, &std::free);
}

// The atom of `name`; XCB_ATOM_NONE when the server does not know it, unless `create`.
inline xcb_atom_t atom(xcb_connection_t* connection, std::string_view name, bool create = false)
{
    const auto reply = wrap(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, create ? 0 : 1, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

}  // namespace platform::xcbutil

#include "Platform/Input/KeyboardLayout.h"

#include "Platform/Input/X11Display.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace platform {

namespace {

// One fresh copy of the server's key symbol map and the active group.
class LayoutSnapshot {
public:
    explicit LayoutSnapshot(Display* display)
        : desc_(XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd), &freeDesc)
    {
        XkbStateRec state{};
        if (XkbGetState(display, XkbUseCoreKbd, &state) == Success) group_ = state.group;
    }

    bool valid() const { return desc_ != nullptr; }
    int minKeyCode() const { return desc_->min_key_code; }
    int maxKeyCode() const { return desc_->max_key_code; }

    // The symbol at `level` of the key in the active group, with the key's own rule for
    // a group it does not have (wrap, clamp or redirect).
    KeySym symbol(int keyCode, int level) const
    {
        XkbDescPtr xkb = desc_.get();
        if (keyCode < xkb->min_key_code || keyCode > xkb->max_key_code) return NoSymbol;
        const int groups = XkbKeyNumGroups(xkb, keyCode);
        if (groups <= 0) return NoSymbol;
        int group = group_;
        if (group >= groups) {
            const unsigned info = XkbKeyGroupInfo(xkb, keyCode);
            switch (XkbOutOfRangeGroupAction(info)) {
            case XkbClampIntoRange: group = groups - 1; break;
            case XkbRedirectIntoRange: {
                group = XkbOutOfRangeGroupNumber(info);
                if (group >= groups) group = 0;
                break;
            }
            default: group %= groups; break;
            }
        }
        if (level >= XkbKeyGroupWidth(xkb, keyCode, group)) return NoSymbol;
        return XkbKeySymEntry(xkb, keyCode, level, group);
    }

private:
    static void freeDesc(XkbDescPtr desc)
    {
        if (desc != nullptr) XkbFreeKeyboard(desc, 0, True);
    }

    std::unique_ptr<XkbDescRec, decltype(&freeDesc)> desc_;
    int group_ = 0;
};

bool isDeadKey(KeySym symbol)
{
    return symbol >= XK_dead_grave && symbol <= 0xfe9f;
}

bool isControlCharacter(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c < 0xa0);
}

}  // namespace

std::optional<QString> KeyboardLayout::character(std::uint8_t x11KeyCode)
{
    const auto x11 = X11Display::current();
    if (!x11) return std::nullopt;
    const LayoutSnapshot layout(x11->display);
    if (!layout.valid()) return std::nullopt;
    const KeySym symbol = layout.symbol(x11KeyCode, 0);
    if (symbol == NoSymbol || isDeadKey(symbol)) return std::nullopt;
    const char32_t unit = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(symbol));
    if (unit == 0 || isControlCharacter(unit)) return std::nullopt;
    const QString text = QString::fromUcs4(&unit, 1).trimmed();
    if (text.isEmpty()) return std::nullopt;
    return text.toUpper();
}

std::optional<std::uint8_t> KeyboardLayout::keyCode(std::uint32_t keysym)
{
    const auto x11 = X11Display::current();
    if (!x11) return std::nullopt;
    const LayoutSnapshot layout(x11->display);
    if (!layout.valid()) return std::nullopt;
    for (int level = 0; level < 2; ++level) {
        for (int code = layout.minKeyCode(); code <= layout.maxKeyCode(); ++code) {
            if (layout.symbol(code, level) == keysym) return static_cast<std::uint8_t>(code);
        }
    }
    return std::nullopt;
}

std::optional<KeyboardLayout::ModifierMasks> KeyboardLayout::modifierMasks()
{
    const auto x11 = X11Display::current();
    if (!x11) return std::nullopt;
    const LayoutSnapshot layout(x11->display);
    std::unique_ptr<XModifierKeymap, decltype(&XFreeModifiermap)> map(XGetModifierMapping(x11->display),
                                                                      &XFreeModifiermap);
    ModifierMasks masks;
    masks.shift = ShiftMask;
    masks.lock = LockMask;
    masks.control = ControlMask;
    if (map && layout.valid()) {
        for (int modifier = Mod1MapIndex; modifier <= Mod5MapIndex; ++modifier) {
            const auto bit = static_cast<std::uint16_t>(1u << modifier);
            for (int i = 0; i < map->max_keypermod; ++i) {
                const KeyCode code = map->modifiermap[modifier * map->max_keypermod + i];
                if (code == 0) continue;
                for (int level = 0; level < 2; ++level) {
                    switch (layout.symbol(code, level)) {
                    case XK_Alt_L:
                    case XK_Alt_R:
                        if (masks.alt == 0) masks.alt = bit;
                        break;
                    case XK_Super_L:
                    case XK_Super_R:
                        if (masks.super == 0) masks.super = bit;
                        break;
                    case XK_Num_Lock:
                        if (masks.numLock == 0) masks.numLock = bit;
                        break;
                    default: break;
                    }
                }
            }
        }
    }
    // The usual assignment, for a server whose map names none of these keys.
    if (masks.alt == 0) masks.alt = Mod1Mask;
    if (masks.super == 0) masks.super = Mod4Mask;
    if (masks.numLock == 0) masks.numLock = Mod2Mask;
    return masks;
}

std::vector<std::uint8_t> KeyboardLayout::modifierKeyCodes()
{
    std::vector<std::uint8_t> codes;
    const auto x11 = X11Display::current();
    if (!x11) return codes;
    std::unique_ptr<XModifierKeymap, decltype(&XFreeModifiermap)> map(XGetModifierMapping(x11->display),
                                                                      &XFreeModifiermap);
    if (!map) return codes;
    for (int i = 0; i < 8 * map->max_keypermod; ++i) {
        const KeyCode code = map->modifiermap[i];
        if (code != 0) codes.push_back(code);
    }
    return codes;
}

}  // namespace platform

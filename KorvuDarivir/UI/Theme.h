#pragma once

#include <cstdint>

#include <QColor>

#include "KorvuDarivir/UI/Brand.h"
#include "Platform/UI/Appearance.h"

namespace korvu {

// A colour with one value for the light and one for the dark appearance.
struct Dyn {
    QColor light;
    QColor dark;

    QColor resolve(platform::Appearance appearance) const
    {
        return appearance == platform::Appearance::dark ? dark : light;
    }
    // The value for the application's appearance now (main thread).
    QColor current() const { return resolve(platform::AppearanceMonitor::current()); }
};

// The colours of the windows, panels and styles, each for both appearances.
struct Theme {
    Theme() = delete;

    // 0xRRGGBB with an alpha 0...1, for each appearance.
    static Dyn dyn(std::uint32_t light, qreal lightAlpha, std::uint32_t dark, qreal darkAlpha)
    {
        return {rgb(light, lightAlpha), rgb(dark, darkAlpha)};
    }

    static inline const Dyn win = dyn(0xF7F6FA, 1, 0x1F1D25, 1);
    static inline const Dyn side = dyn(0xEEECF3, 1, 0x24212B, 1);
    static inline const Dyn card = dyn(0xFFFFFF, 1, 0x2A2731, 1);
    static inline const Dyn text = dyn(0x1D1A26, 1, 0xF1F2F2, 1);
    static inline const Dyn sub = dyn(0x625D74, 1, 0xA9A4B8, 1);
    static inline const Dyn line = dyn(0x1D1A26, 0.10, 0xFFFFFF, 0.10);
    static inline const Dyn field = dyn(0xFFFFFF, 1, 0x2F2C37, 1);
    static inline const Dyn fieldLine = dyn(0x1D1A26, 0.18, 0xFFFFFF, 0.16);
    static inline const Dyn accent = dyn(0x4C4084, 1, 0x7567A1, 1);
    static inline const Dyn sel = dyn(0x4C4084, 0.12, 0x9D90CF, 0.22);
    static inline const Dyn selText = dyn(0x4C4084, 1, 0xC9C1EA, 1);
    static inline const Dyn seg = dyn(0xECEAF2, 1, 0x35323D, 1);
    static inline const Dyn kbd = dyn(0xFFFFFF, 1, 0x35323D, 1);
    static inline const Dyn toggleOff = dyn(0xD9D6E2, 1, 0x4A4655, 1);
    static inline const Dyn hud = dyn(0xFFFFFF, 0.98, 0x2F2C37, 0.98);
    static inline const Dyn tooltip = dyn(0xF5F4F7, 1, 0x3A3743, 1);
    static inline const Dyn okBg = dyn(0xB6CFAE, 0.45, 0xB6CFAE, 0.18);
    static inline const Dyn okText = dyn(0x2F5A2A, 1, 0xB6CFAE, 1);
    static inline const Dyn wall = dyn(0xCFCBDD, 1, 0x2E2A3A, 1);
    static inline const Dyn menuBar = dyn(0xF6F5FA, 0.92, 0x1E1C24, 0.92);
    static inline const Dyn logo = dyn(0x5A2484, 1, 0xF1F2F2, 1);
    static inline const Dyn danger{Brand::darkRed, Brand::darkRed};
    static inline const Dyn recording{Brand::orangyRed, Brand::orangyRed};

private:
    static QColor rgb(std::uint32_t value, qreal alpha)
    {
        return QColor::fromRgbF(((value >> 16) & 0xFF) / 255.0F, ((value >> 8) & 0xFF) / 255.0F,
                                (value & 0xFF) / 255.0F, static_cast<float>(alpha));
    }
};

}  // namespace korvu

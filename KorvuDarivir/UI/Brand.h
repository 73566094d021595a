#pragma once

#include <QColor>

namespace korvu {

// The fixed brand colours, the same in light and dark appearance.
struct Brand {
    Brand() = delete;

    static inline const QColor darkPurple{0x4C, 0x40, 0x84};
    static inline const QColor mediumPurple{0x75, 0x67, 0xA1};
    static inline const QColor lightPurple{0xDD, 0xDA, 0xE8};
    static inline const QColor white{0xF1, 0xF2, 0xF2};  // a slightly grey white, not Qt::white
    static inline const QColor green{0xB6, 0xCF, 0xAE};
    static inline const QColor orangyRed{0xEE, 0x3F, 0x23};
    static inline const QColor darkRed{0xC8, 0x32, 0x1A};
    static inline const QColor darkGreen{0x2F, 0x5A, 0x2A};
    static inline const QColor deepGreen{0x1F, 0x3D, 0x1B};
    static inline const QColor readyDot{0x5E, 0x8F, 0x57};
};

}  // namespace korvu

#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace korvu {

// Renders the application's icon set from an SVG file: ten PNG files, five sizes at
// scale 1 and 2, named "icon_16x16.png", "icon_16x16@2x.png" ... "icon_512x512@2x.png".
// The artwork fills the inner 824/1024 of each image and casts a soft shadow downward.
// Used only by the program's "--render-icon" switch; no part of the running application.
class IconRenderer {
public:
    IconRenderer() = delete;

    // The output folder and the SVG file named on a command line.
    struct Request {
        QString folder;
        QString svg;
    };

    // The first "--render-icon" decides: with at least two arguments after it, those two
    // are the folder and the SVG file (later ones are ignored); otherwise none.
    // `arguments` includes the program name, as the process receives them.
    static std::optional<Request> request(const QStringList& arguments);

    static constexpr std::array<int, 5> sizes{16, 32, 128, 256, 512};

    // "icon_16x16.png" for scale 1, "icon_16x16@2x.png" for scale 2.
    static QString fileName(int size, int scale);

    // Writes the ten images into `folder` (made with its parents when missing). An image
    // that cannot be made or written is skipped silently. False, with
    // "SVG nicht lesbar: PATH" on standard error and nothing written, when the SVG cannot
    // be read. Needs a QGuiApplication.
    static bool render(const QString& folder, const QString& svg);
};

}  // namespace korvu

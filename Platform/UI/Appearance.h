#pragma once

#include <optional>

#include <QObject>
#include <QPalette>

namespace platform {

// Whether the application draws in its light or its dark colours.
enum class Appearance { light, dark };

// Follows the application palette: dark when the palette's window colour is less light
// than its text colour. Qt 6.4 has no colour-scheme hint, and desktop themes express dark
// mode through the palette, so the palette is the one source. Without an application
// everything is light.
class AppearanceMonitor : public QObject {
    Q_OBJECT
public:
    // The application's one monitor, created on first use on the main thread; it follows
    // palette changes when the application existed at that moment.
    static AppearanceMonitor& shared();

    // Shorthand for shared().appearance().
    static Appearance current();

    static Appearance fromPalette(const QPalette& palette);

    Appearance appearance() const;

    // Tests (and nothing else) force an appearance; nullopt returns to the palette.
    void setOverride(std::optional<Appearance> appearance);

signals:
    void changed(platform::Appearance appearance);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AppearanceMonitor();
    Appearance fromApplication() const;
    void update();

    std::optional<Appearance> override_;
    Appearance last_ = Appearance::light;
};

}  // namespace platform

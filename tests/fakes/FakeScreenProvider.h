#pragma once

#include <utility>

#include "Platform/UI/ScreenProvider.h"

namespace fakes {

// Screens and a pointer that a test sets directly (y-up). The first screen is the primary;
// an empty list means no display at all.
class FakeScreenProvider final : public platform::ScreenProvider {
public:
    std::vector<platform::ScreenInfo> screenList;
    QPointF cursor;

    FakeScreenProvider() = default;
    explicit FakeScreenProvider(std::vector<platform::ScreenInfo> list, QPointF pointer = {})
        : screenList(std::move(list)), cursor(pointer) {}

    // A screen whose available area is its frame less `menuBar` at the top and `dock` at
    // the bottom, as desktop panels leave it.
    static platform::ScreenInfo screen(const QRectF& frame, qreal menuBar = 0, qreal dock = 0, qreal ratio = 1.0)
    {
        return {QString(), frame, frame.adjusted(0, dock, 0, -menuBar), ratio};
    }

    std::vector<platform::ScreenInfo> screens() const override { return screenList; }
    std::optional<platform::ScreenInfo> primaryScreen() const override
    {
        return screenList.empty() ? std::nullopt : std::optional<platform::ScreenInfo>(screenList.front());
    }
    QPointF cursorPosition() const override { return cursor; }
};

}  // namespace fakes

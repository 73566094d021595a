#pragma once

#include "KorvuDarivir/UI/HintDisplay.h"

#include <optional>
#include <vector>

namespace fakes {

// A hint display that notes every hint, anchor, tooltip and hide.
class FakeHints final : public korvu::HintDisplay {
public:
    std::vector<korvu::Hint> shown;
    std::vector<std::optional<QRectF>> anchors;
    std::vector<QString> tooltips;
    int hides = 0;

    void show(const korvu::Hint& hint, const std::optional<QRectF>& anchor) override
    {
        shown.push_back(hint);
        anchors.push_back(anchor);
    }
    void showTooltip(const QString& text, const QRectF&) override { tooltips.push_back(text); }
    void hide() override { ++hides; }
};

}  // namespace fakes

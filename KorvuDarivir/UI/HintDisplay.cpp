#include "KorvuDarivir/UI/HintDisplay.h"

namespace korvu {
namespace {

// Stands in until the hint panel exists: hints go nowhere.
class NoHintDisplay final : public HintDisplay {
public:
    void show(const Hint&, const std::optional<QRectF>&) override {}
    void showTooltip(const QString&, const QRectF&) override {}
    void hide() override {}
};

}  // namespace

std::unique_ptr<HintDisplay> makeHintPanel()
{
    return std::make_unique<NoHintDisplay>();
}

}  // namespace korvu

#include "KorvuDarivir/UI/HintDisplay.h"

#include "KorvuDarivir/UI/HintPanel.h"

namespace korvu {
namespace {

class PanelHintDisplay final : public HintDisplay {
public:
    void show(const Hint& hint, const std::optional<QRectF>& anchor) override { panel_.show(hint, anchor); }
    void showTooltip(const QString& text, const QRectF& anchor) override { panel_.showTooltip(text, anchor); }
    void hide() override { panel_.hide(); }

private:
    HintPanel panel_;
};

}  // namespace

std::unique_ptr<HintDisplay> makeHintPanel()
{
    return std::make_unique<PanelHintDisplay>();
}

}  // namespace korvu

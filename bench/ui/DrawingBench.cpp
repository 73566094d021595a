// bench_ui: time per frame of the drawings that run at 60 frames a second (the floating
// button while recording or processing) and of the largest shadow (a hint-sized pill,
// whose blur cost grows with its area and radius). Renders offscreen into images like a
// widget's backing store at ratio 1 and 2.
//
//   QT_QPA_PLATFORM=offscreen bench_ui [--benchmark_format=csv|json]
#include <numbers>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include "KorvuDarivir/UI/MicButtonDrawing.h"
#include "KorvuDarivir/UI/StatusIcon.h"
#include "Platform/UI/Painting.h"

namespace {

QImage target(QSize size, int ratio)
{
    QImage image(size * ratio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    return image;
}

void micButtonFrame(benchmark::State& state, const korvu::MicButtonState& look)
{
    QImage image = target(QSize(38, 38), static_cast<int>(state.range(0)));
    double phase = 0;
    for (auto _ : state) {
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        phase += std::numbers::pi / 27;
        korvu::MicButtonDrawing::draw(painter, QRectF(0, 0, 38, 38), look, false, 0.5 + 0.5 * std::sin(phase), phase);
    }
    state.SetLabel("38 x 38 pt");
}

void BM_MicButtonRecording(benchmark::State& state) { micButtonFrame(state, korvu::MicButtonState::rec); }
void BM_MicButtonProcessing(benchmark::State& state) { micButtonFrame(state, korvu::MicButtonState::proc); }

void BM_HintPillShadow(benchmark::State& state)
{
    QImage image = target(QSize(328, 72), static_cast<int>(state.range(0)));
    const QRectF pill(14, 14, 300, 44);
    const platform::Shadow shadow{QColor::fromRgbF(0, 0, 0, 0.16F), 9, QPointF(0, 6)};
    for (auto _ : state) {
        image.fill(Qt::transparent);
        QPainter painter(&image);
        platform::Painting::drawWithShadow(painter, pill, shadow, [&](QPainter& p) {
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawRoundedRect(pill, 22, 22);
        });
    }
    state.SetLabel("300 x 44 pt, blur 9");
}

void BM_StatusRing(benchmark::State& state)
{
    double progress = 0;
    for (auto _ : state) {
        progress = progress >= 1 ? 0 : progress + 0.01;
        benchmark::DoNotOptimize(korvu::StatusIcon::ring(progress).toIcon(Qt::white));
    }
}

BENCHMARK(BM_MicButtonRecording)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MicButtonProcessing)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HintPillShadow)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusRing)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

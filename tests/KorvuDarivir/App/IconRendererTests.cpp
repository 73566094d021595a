#include "KorvuDarivir/App/IconRenderer.h"

#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace korvu {
namespace {

TEST(IconRendererTest, WritesTenImagesWithTheArtworkInsetAndAShadowBelow)
{
    const testsupport::TempDir temp;
    // A square of solid red filling the whole canvas: the artwork's place and its shadow
    // can be read off the pixels.
    const QString svg = QString::fromStdString((temp / "square.svg").string());
    QFile file(svg);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">)"
               R"(<rect width="64" height="64" fill="#ff0000"/></svg>)");
    file.close();
    const QString folder = QString::fromStdString((temp / "new" / "set").string());

    ASSERT_TRUE(IconRenderer::render(folder, svg));

    for (const int size : IconRenderer::sizes) {
        for (const int scale : {1, 2}) {
            const QString name = IconRenderer::fileName(size, scale);
            SCOPED_TRACE(name.toStdString());
            const QImage image(folder + "/" + name);
            ASSERT_FALSE(image.isNull());
            const int px = size * scale;
            ASSERT_EQ(image.size(), QSize(px, px));
            if (px < 128) continue;
            const double s = px / 1024.0;
            auto alphaAt = [&](double x, double y) { return qAlpha(image.pixel(int(x * s), int(y * s))); };
            EXPECT_EQ(image.pixelColor(int(512 * s), int(512 * s)), QColor(255, 0, 0));
            EXPECT_EQ(image.pixelColor(int(110 * s), int(512 * s)), QColor(255, 0, 0));
            EXPECT_EQ(alphaAt(1020, 1020), 0) << "corners stay transparent";
            // Outside the square only the shadow shows: black, at most 30 % opaque.
            const QColor beside = image.pixelColor(int(80 * s), int(512 * s));
            EXPECT_GT(beside.alpha(), 0);
            EXPECT_LE(beside.alpha(), 77);
            EXPECT_EQ(beside.red(), 0);
            // It falls downward: more shadow below the square than above it.
            EXPECT_GT(alphaAt(512, 940), alphaAt(512, 84) + 5);
        }
    }
    const QString untouched = QString::fromStdString((temp / "never").string());
    EXPECT_FALSE(IconRenderer::render(untouched, QString::fromStdString((temp / "missing.svg").string())));
    EXPECT_FALSE(QFile::exists(untouched)) << "an unreadable SVG creates no folder";
    EXPECT_EQ(IconRenderer::fileName(512, 2), "icon_512x512@2x.png");
}

}  // namespace
}  // namespace korvu

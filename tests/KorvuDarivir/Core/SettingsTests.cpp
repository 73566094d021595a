#include "QtPrinters.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using korvu::ButtonOffset;
using korvu::CleanupStyle;
using korvu::Hotkey;
using korvu::Settings;
using korvu::StyleApp;

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        defaults().removeAllStoredValues();
        Settings::registerDefaults();
    }
    static platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }
};

TEST_F(SettingsTest, LanguageMicrophoneAndAppVersionReadTheirStoredValues)
{
    EXPECT_EQ(Settings::language(), QString("de"));
    EXPECT_FALSE(defaults().hasStoredValue("language"));  // registration writes nothing
    const std::tuple<const char*, std::optional<QString>, const char*> languages[] = {
        {"auto", std::nullopt, "Sprache automatisch"}, {"en", "en", "Englisch"}, {"fr", "fr", "Deutsch"}};
    for (const auto& [stored, language, name] : languages) {
        defaults().set("language", stored);
        EXPECT_EQ(Settings::language(), language) << stored;
        EXPECT_EQ(Settings::languageName(), name) << stored;
    }
    EXPECT_FALSE(Settings::microphoneUID().has_value());
    defaults().set("microphoneUID", "");  // empty means the system default
    EXPECT_FALSE(Settings::microphoneUID().has_value());
    defaults().set("microphoneUID", "alsa_input.usb-mic");
    EXPECT_EQ(Settings::microphoneUID(), QString("alsa_input.usb-mic"));

    // The version shown and compared with the update feed is the project's, whatever the
    // program entry did or did not tell Qt.
    QCoreApplication::setApplicationVersion(QString());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(Settings::appVersion()).hasMatch())
        << Settings::appVersion().toStdString();
}

TEST_F(SettingsTest, ShortcutsAreStoredAsTwoUnsigned32BitIntegers)
{
    Settings::setHotkey({0x31, 0x100 | 0x200});
    EXPECT_EQ(defaults().integer("hotkeyKeyCode"), 0x31);
    EXPECT_EQ(defaults().integer("hotkeyModifiers"), 0x300);
    Settings::setWordHotkey({4294967295u, 0x1000});
    EXPECT_EQ(Settings::wordHotkey(), (Hotkey{4294967295u, 0x1000}));
    EXPECT_EQ(Settings::hotkey(), (Hotkey{0x31, 0x300}));

    // Values outside the range read as zero.
    defaults().set("hotkeyKeyCode", qint64(-1));
    defaults().set("hotkeyModifiers", qint64(4294967296));
    EXPECT_EQ(Settings::hotkey(), (Hotkey{0, 0}));
    defaults().set("hotkeyKeyCode", "not a number");
    EXPECT_EQ(Settings::hotkey().keyCode, 0u);
}

TEST_F(SettingsTest, StylePerApplication)
{
    Settings::setStyle(CleanupStyle::neutral, StyleApp::mail);
    EXPECT_EQ(Settings::style(StyleApp::mail), CleanupStyle::neutral);
    EXPECT_EQ(Settings::style(StyleApp::notes), CleanupStyle::note);
    EXPECT_EQ(*defaults().dictionary("appStyles"), (QVariantMap{{"mail", "neutral"}}));

    defaults().set("appStyles", QVariantMap{{"mail", "shouting"}, {"notes", "message"}});
    EXPECT_EQ(Settings::style(StyleApp::mail), CleanupStyle::email);
    EXPECT_EQ(Settings::style(StyleApp::notes), CleanupStyle::message);

    // One value of another type spoils the whole dictionary: every app gets its default,
    // and the next write starts from an empty dictionary.
    defaults().set("appStyles", QVariantMap{{"mail", "neutral"}, {"notes", 3}});
    EXPECT_EQ(Settings::style(StyleApp::mail), CleanupStyle::email);
    Settings::setStyle(CleanupStyle::note, StyleApp::whatsapp);
    EXPECT_EQ(*defaults().dictionary("appStyles"), (QVariantMap{{"whatsapp", "note"}}));
}

TEST_F(SettingsTest, ButtonOffsetsPerApplication)
{
    EXPECT_FALSE(Settings::hasButtonOffsets());
    Settings::setButtonOffset({12.5, -4}, std::nullopt);
    Settings::setButtonOffset({3, 7}, QString("org.gnome.TextEditor"));
    // A non-finite offset does not spoil the other saved positions.
    Settings::setButtonOffset({std::nan(""), std::numeric_limits<double>::infinity()}, QString("broken"));
    EXPECT_TRUE(Settings::hasButtonOffsets());
    EXPECT_EQ(Settings::buttonOffset(std::nullopt), (ButtonOffset{12.5, -4}));
    EXPECT_EQ(Settings::buttonOffset(QString("default")), (ButtonOffset{12.5, -4}));
    EXPECT_EQ(Settings::buttonOffset(QString("org.gnome.TextEditor")), (ButtonOffset{3, 7}));
    EXPECT_EQ(Settings::buttonOffset(QString("unknown")), ButtonOffset{});
    EXPECT_EQ(Settings::buttonOffset(QString("broken")), ButtonOffset{});

    // Only pairs of real numbers are offsets; a wrong length skips the entry, a value that
    // is no list, a Boolean or a number written as text spoils the whole dictionary.
    const std::pair<QVariantMap, bool> stored[] = {
        {{{"a", QVariantList{1.0}}, {"b", QVariantList{1.0, 2.0, 3.0}}}, true},
        {{{"a", QVariantList{1.0, 2.0}}, {"b", "text"}}, false},
        {{{"a", QVariantList{true, 2.0}}}, false},
        {{{"a", QVariantList{"1", 2.0}}}, false},
        {{}, false}};
    for (const auto& [offsets, hasAny] : stored) {
        defaults().set("buttonOffsets", offsets);
        EXPECT_EQ(Settings::buttonOffset(QString("a")), ButtonOffset{});
        EXPECT_EQ(Settings::buttonOffset(QString("b")), ButtonOffset{});
        EXPECT_EQ(Settings::hasButtonOffsets(), hasAny);
    }
    defaults().set("buttonOffsets", QVariantMap{{"a", QVariantList{1, qint64(2)}}});
    EXPECT_EQ(Settings::buttonOffset(QString("a")), (ButtonOffset{1, 2}));
}

}  // namespace

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

TEST_F(SettingsTest, AFreshUserGetsTheRegisteredDefaults)
{
    EXPECT_EQ(Settings::language(), QString("de"));
    EXPECT_EQ(Settings::languageName(), "Deutsch");
    EXPECT_FALSE(Settings::microphoneUID().has_value());
    EXPECT_EQ(Settings::hotkey(), (Hotkey{49, 0x1800}));
    EXPECT_EQ(Settings::wordHotkey(), (Hotkey{13, 0x1800}));
    EXPECT_FALSE(defaults().boolean("cleanupEnabled"));
    EXPECT_TRUE(defaults().boolean("showFloatingButton"));
    EXPECT_FALSE(defaults().boolean("holdToTalk"));
    EXPECT_FALSE(defaults().boolean("movableButton"));
    EXPECT_TRUE(defaults().boolean("historyEnabled"));
    EXPECT_FALSE(defaults().boolean("onboardingCompleted"));
    EXPECT_FALSE(defaults().boolean("modelPrepared"));
    // Registration writes nothing.
    EXPECT_FALSE(defaults().hasStoredValue("language"));
    EXPECT_FALSE(defaults().hasStoredValue("hotkeyKeyCode"));
}

TEST_F(SettingsTest, LanguageAndItsName)
{
    defaults().set("language", "auto");
    EXPECT_FALSE(Settings::language().has_value());
    EXPECT_EQ(Settings::languageName(), "Sprache automatisch");
    defaults().set("language", "en");
    EXPECT_EQ(Settings::language(), QString("en"));
    EXPECT_EQ(Settings::languageName(), "Englisch");
    defaults().set("language", "fr");
    EXPECT_EQ(Settings::language(), QString("fr"));
    EXPECT_EQ(Settings::languageName(), "Deutsch");
}

TEST_F(SettingsTest, AnEmptyMicrophoneIdMeansTheSystemDefault)
{
    defaults().set("microphoneUID", "");
    EXPECT_FALSE(Settings::microphoneUID().has_value());
    defaults().set("microphoneUID", "alsa_input.usb-mic");
    EXPECT_EQ(Settings::microphoneUID(), QString("alsa_input.usb-mic"));
}

TEST_F(SettingsTest, ShortcutsAreStoredAsTwoIntegers)
{
    Settings::setHotkey({0x31, 0x100 | 0x200});
    EXPECT_EQ(defaults().integer("hotkeyKeyCode"), 0x31);
    EXPECT_EQ(defaults().integer("hotkeyModifiers"), 0x300);
    EXPECT_EQ(Settings::hotkey(), (Hotkey{0x31, 0x300}));

    Settings::setWordHotkey({4294967295u, 0x1000});
    EXPECT_EQ(Settings::wordHotkey(), (Hotkey{4294967295u, 0x1000}));
    EXPECT_EQ(Settings::hotkey(), (Hotkey{0x31, 0x300}));
}

TEST_F(SettingsTest, ShortcutValuesOutsideUnsigned32BitReadAsZero)
{
    defaults().set("hotkeyKeyCode", qint64(-1));
    defaults().set("hotkeyModifiers", qint64(4294967296));
    EXPECT_EQ(Settings::hotkey(), (Hotkey{0, 0}));
    defaults().set("hotkeyKeyCode", "not a number");
    EXPECT_EQ(Settings::hotkey().keyCode, 0u);
}

TEST_F(SettingsTest, StylePerApplication)
{
    EXPECT_EQ(Settings::style(StyleApp::whatsapp), CleanupStyle::message);
    EXPECT_EQ(Settings::style(StyleApp::mail), CleanupStyle::email);
    EXPECT_EQ(Settings::style(StyleApp::notes), CleanupStyle::note);
    EXPECT_EQ(Settings::style(StyleApp::other), CleanupStyle::neutral);

    Settings::setStyle(CleanupStyle::neutral, StyleApp::mail);
    EXPECT_EQ(Settings::style(StyleApp::mail), CleanupStyle::neutral);
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
    EXPECT_EQ(Settings::buttonOffset(std::nullopt), ButtonOffset{});

    Settings::setButtonOffset({12.5, -4}, std::nullopt);
    Settings::setButtonOffset({3, 7}, QString("org.gnome.TextEditor"));
    EXPECT_TRUE(Settings::hasButtonOffsets());
    EXPECT_EQ(Settings::buttonOffset(std::nullopt), (ButtonOffset{12.5, -4}));
    EXPECT_EQ(Settings::buttonOffset(QString("default")), (ButtonOffset{12.5, -4}));
    EXPECT_EQ(Settings::buttonOffset(QString("org.gnome.TextEditor")), (ButtonOffset{3, 7}));
    EXPECT_EQ(Settings::buttonOffset(QString("unknown")), ButtonOffset{});

    defaults().set("buttonOffsets", QVariantMap{{"one", QVariantList{1.0}}, {"three", QVariantList{1.0, 2.0, 3.0}}});
    EXPECT_EQ(Settings::buttonOffset(QString("one")), ButtonOffset{});
    EXPECT_EQ(Settings::buttonOffset(QString("three")), ButtonOffset{});
    EXPECT_TRUE(Settings::hasButtonOffsets());

    defaults().set("buttonOffsets", QVariantMap{{"a", QVariantList{1.0, 2.0}}, {"b", "text"}});
    EXPECT_EQ(Settings::buttonOffset(QString("a")), ButtonOffset{});
    EXPECT_FALSE(Settings::hasButtonOffsets());

    defaults().set("buttonOffsets", QVariantMap{});
    EXPECT_FALSE(Settings::hasButtonOffsets());
}

TEST_F(SettingsTest, OnlyRealNumbersMakeAnOffset)
{
    // A Boolean or a number written as text converts to a number, but is none: the whole
    // dictionary has another shape then.
    defaults().set("buttonOffsets", QVariantMap{{"a", QVariantList{true, 2.0}}});
    EXPECT_EQ(Settings::buttonOffset(QString("a")), ButtonOffset{});
    EXPECT_FALSE(Settings::hasButtonOffsets());
    defaults().set("buttonOffsets", QVariantMap{{"a", QVariantList{"1", 2.0}}});
    EXPECT_EQ(Settings::buttonOffset(QString("a")), ButtonOffset{});
    defaults().set("buttonOffsets", QVariantMap{{"a", QVariantList{1, qint64(2)}}});
    EXPECT_EQ(Settings::buttonOffset(QString("a")), (ButtonOffset{1, 2}));
}

TEST_F(SettingsTest, ANonFiniteOffsetDoesNotSpoilTheOtherSavedPositions)
{
    Settings::setButtonOffset({5, 6}, QString("kept"));
    Settings::setButtonOffset({std::nan(""), std::numeric_limits<double>::infinity()}, QString("broken"));
    EXPECT_EQ(Settings::buttonOffset(QString("kept")), (ButtonOffset{5, 6}));
    EXPECT_EQ(Settings::buttonOffset(QString("broken")), (ButtonOffset{0, 0}));
}

// The version shown and compared with the update feed is the project's, whatever the
// program entry did or did not tell Qt.
TEST_F(SettingsTest, AppVersionIsTheProjectVersion)
{
    QCoreApplication::setApplicationVersion(QString());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(Settings::appVersion()).hasMatch())
        << Settings::appVersion().toStdString();
}

TEST_F(SettingsTest, SupportDirectoryIsNamedAfterTheApplication)
{
    const std::filesystem::path folder = Settings::supportDirectory();
    EXPECT_EQ(folder.filename(), "KORVU Darivir");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(CleanupStyleTest, RawValuesAreTheCaseNames)
{
    EXPECT_EQ(korvu::rawValue(CleanupStyle::email), "email");
    EXPECT_EQ(korvu::rawValue(StyleApp::whatsapp), "whatsapp");
    EXPECT_EQ(korvu::cleanupStyleFromRaw("note"), CleanupStyle::note);
    EXPECT_FALSE(korvu::cleanupStyleFromRaw("Note").has_value());
    EXPECT_EQ(korvu::styleAppFromRaw("other"), StyleApp::other);
    EXPECT_FALSE(korvu::styleAppFromRaw("").has_value());
}

}  // namespace

#include "KorvuDarivir/UI/StatusMenuState.h"

#include <QTextBoundaryFinder>
#include <QTextDocument>

#include <map>

namespace korvu {

StatusMenuState StatusMenuState::from(DictationPhase phase, const ModelState& model, bool accessibilityGranted)
{
    StatusMenuState state;
    const bool recording = phase == DictationPhase::recording;
    state.toggleTitle = recording ? QStringLiteral("Diktat beenden") : QStringLiteral("Diktat starten");
    state.toggleEnabled = recording || (phase == DictationPhase::idle && model == ModelState::ready && accessibilityGranted);
    state.cancelEnabled = recording;
    state.accessibilityVisible = !accessibilityGranted;
    state.retryVisible = model.kind() == ModelState::Kind::failed;
    return state;
}

StatusIconChoice StatusMenuState::iconFor(DictationPhase phase, const ModelState& model, bool accessibilityGranted)
{
    using Kind = StatusIconChoice::Kind;
    if (phase == DictationPhase::recording) return {Kind::recordDot};
    if (phase == DictationPhase::processing) return {Kind::dots};
    if (!accessibilityGranted) return {Kind::barsWithBadge};
    switch (model.kind()) {
    case ModelState::Kind::downloading:
        return {Kind::ring, model.progress()};
    case ModelState::Kind::preparing:
        // No real progress is known while preparing: a fixed part of the ring.
        return {Kind::ring, 0.42};
    case ModelState::Kind::failed:
        return {Kind::barsWithBadge};
    case ModelState::Kind::notLoaded:
    case ModelState::Kind::ready:
        break;
    }
    return {Kind::bars};
}

QString StatusMenuState::trayToolTip(DictationPhase phase, const QString& recordingTime)
{
    if (phase == DictationPhase::recording) {
        return QStringLiteral("KORVU Darivir · Aufnahme ") + recordingTime;
    }
    return QStringLiteral("KORVU Darivir");
}

namespace {

// Tabs, line and paragraph breaks would break a one-line menu entry apart.
bool breaksLine(QChar c)
{
    switch (c.unicode()) {
    case u'\t':
    case u'\n':
    case u'\v':
    case u'\f':
    case u'\r':
    case 0x0085:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

}  // namespace

QString StatusMenuState::historyTitle(const QString& text)
{
    constexpr int wholeBelow = 49;
    constexpr int kept = 47;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    qsizetype cutAt = -1;
    // Counts boundaries after the start: each one ends a user-perceived character.
    while (graphemes.toNextBoundary() != -1) {
        ++count;
        if (count == kept) cutAt = graphemes.position();
        if (count >= wholeBelow) break;
    }
    QString title = count < wholeBelow ? text : text.left(cutAt) + QChar(0x2026);
    for (QChar& c : title) {
        if (breaksLine(c)) c = QLatin1Char(' ');
    }
    title.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return title;
}

QString StatusMenuState::historyToolTip(const QString& timeLabel, const QString& appName)
{
    QString tip = timeLabel + QStringLiteral(" · ") + appName + QStringLiteral(" – klicken zum Kopieren");
    for (QChar& c : tip) {
        if (breaksLine(c)) c = QLatin1Char(' ');
    }
    if (Qt::mightBeRichText(tip)) {
        // Qt looks for a tag after the first "<" and for "&lt;": a joiner after either
        // character makes neither match, and it takes no room on the screen.
        const QString joiner(QChar(0x2060));
        tip.replace(QLatin1Char('<'), QLatin1Char('<') + joiner);
        tip.replace(QLatin1Char('&'), QLatin1Char('&') + joiner);
    }
    return tip;
}

QString StatusMenuState::exportedRow(const QString& text)
{
    QString row = text;
    for (QChar& c : row) {
        if (breaksLine(c)) c = QLatin1Char(' ');
    }
    row.replace(QLatin1Char('_'), QStringLiteral("__"));
    const qsizetype ampersand = row.indexOf(QLatin1Char('&'));
    if (ampersand >= 0) row.insert(ampersand, QLatin1Char('&'));
    return row;
}

namespace {

// Keys whose names are symbols or several characters, by virtual key code.
const std::map<std::uint32_t, int>& namedQtKeys()
{
    static const std::map<std::uint32_t, int> keys{
        {49, Qt::Key_Space},     {36, Qt::Key_Return}, {48, Qt::Key_Tab},    {51, Qt::Key_Backspace},
        {117, Qt::Key_Delete},   {123, Qt::Key_Left},  {124, Qt::Key_Right}, {126, Qt::Key_Up},
        {125, Qt::Key_Down},     {115, Qt::Key_Home},  {119, Qt::Key_End},   {116, Qt::Key_PageUp},
        {121, Qt::Key_PageDown}, {122, Qt::Key_F1},    {120, Qt::Key_F2},    {99, Qt::Key_F3},
        {118, Qt::Key_F4},       {96, Qt::Key_F5},     {97, Qt::Key_F6},     {98, Qt::Key_F7},
        {100, Qt::Key_F8},       {101, Qt::Key_F9},    {109, Qt::Key_F10},   {103, Qt::Key_F11},
        {111, Qt::Key_F12},      {105, Qt::Key_F13},   {107, Qt::Key_F14},   {113, Qt::Key_F15},
        {106, Qt::Key_F16},      {64, Qt::Key_F17},    {79, Qt::Key_F18},    {80, Qt::Key_F19},
    };
    return keys;
}

// Qt names a character key by its upper-case code point; a name of several characters
// ("Taste 53", "SS") has no key.
int characterKey(const QString& name)
{
    const QList<uint> codePoints = name.toUcs4();
    if (codePoints.size() != 1) return 0;
    const char32_t upper = QChar::toUpper(static_cast<char32_t>(codePoints.front()));
    if (upper <= 0x20 || QChar::isSpace(upper) || upper >= 0x01000000) return 0;
    return static_cast<int>(upper);
}

}  // namespace

QKeySequence StatusMenuState::keyEquivalent(const Hotkey& hotkey)
{
    int key = 0;
    if (const auto it = namedQtKeys().find(hotkey.keyCode); it != namedQtKeys().end()) {
        key = it->second;
    } else {
        key = characterKey(hotkey.keyName());
    }
    if (key == 0) return {};
    Qt::KeyboardModifiers modifiers;
    if (hotkey.modifiers & Hotkey::controlKey) modifiers |= Qt::ControlModifier;
    if (hotkey.modifiers & Hotkey::optionKey) modifiers |= Qt::AltModifier;
    if (hotkey.modifiers & Hotkey::shiftKey) modifiers |= Qt::ShiftModifier;
    if (hotkey.modifiers & Hotkey::cmdKey) modifiers |= Qt::MetaModifier;
    return QKeySequence(QKeyCombination(modifiers, static_cast<Qt::Key>(key)));
}

}  // namespace korvu

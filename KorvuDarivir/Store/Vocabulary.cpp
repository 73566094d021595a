#include "KorvuDarivir/Store/Vocabulary.h"

#include "KorvuDarivir/Store/IcuText.h"

#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace korvu {
namespace {

// A term whose expression needs more than this many steps of ICU's matcher for its
// searches through one text is left out of the spelling pass rather than stalling the
// dictation (ICU's unit is roughly a millisecond of work; a matcher counts its steps from
// one search to the next).
constexpr int32_t kMatchTimeLimit = 200;

// The offsets (UTF-16) of the grapheme-cluster boundaries of `text`, 0 and its length
// included.
std::vector<qsizetype> graphemeBoundaries(const QString& text)
{
    std::vector<qsizetype> boundaries{0};
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !iterator) {
        // Without ICU's break data every UTF-16 unit counts; never happens with libicu's
        // data linked in.
        for (qsizetype i = 1; i <= text.size(); ++i) {
            boundaries.push_back(i);
        }
        return boundaries;
    }
    const icu::UnicodeString unicode = toIcu(text);
    iterator->setText(unicode);
    for (int32_t position = iterator->next(); position != icu::BreakIterator::DONE; position = iterator->next()) {
        boundaries.push_back(position);
    }
    if (boundaries.back() != text.size()) {
        boundaries.push_back(text.size());
    }
    return boundaries;
}

qsizetype graphemeCount(const QString& text)
{
    return text.isEmpty() ? 0 : static_cast<qsizetype>(graphemeBoundaries(text).size()) - 1;
}

// Case-insensitive equality that still tells accents apart: both texts in composed form,
// then Unicode full case folding (so "Straße" equals "STRASSE").
icu::UnicodeString foldedForComparison(const QString& text)
{
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString unicode = toIcu(text);
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_SUCCESS(status) && nfc != nullptr) {
        unicode = nfc->normalize(unicode, status);
    }
    unicode.foldCase();
    return unicode;
}

bool equalIgnoringCase(const QString& a, const QString& b)
{
    return foldedForComparison(a) == foldedForComparison(b);
}

// The text as literal regular-expression text: every ASCII character that ICU could read
// as syntax gets a backslash. Spaces stay as they are for the caller.
QString escapedLiteral(QStringView text)
{
    static const QString metacharacters = QStringLiteral("\\^$.|?*+()[]{}/-#&~");
    QString escaped;
    escaped.reserve(text.size() * 2);
    for (const QChar c : text) {
        if (metacharacters.contains(c)) {
            escaped.append(u'\\');
        }
        escaped.append(c);
    }
    return escaped;
}

// The exact variant: the escaped term, each run of spaces matching any run of white space
// at least as long. A run of k spaces becomes "\s{k,}" rather than k times "\s+": both
// match the same texts, but k adjacent "\s+" backtrack through every way of dividing a
// long run of white space among themselves.
QString exactVariant(const QString& term)
{
    QString pattern;
    qsizetype i = 0;
    while (i < term.size()) {
        if (term[i] == u' ') {
            qsizetype run = 0;
            while (i < term.size() && term[i] == u' ') {
                ++run;
                ++i;
            }
            pattern.append(run == 1 ? QStringLiteral("\\s+") : QStringLiteral("\\s{%1,}").arg(run));
            continue;
        }
        qsizetype end = i;
        while (end < term.size() && term[end] != u' ') {
            ++end;
        }
        pattern.append(escapedLiteral(QStringView(term).mid(i, end - i)));
        i = end;
    }
    return pattern;
}

// The class of the characters that may not stand next to a match: letters and digits.
// A case-insensitive expression closes each of its sets over case, and for the well over
// a hundred thousand letters of \p{L} that is most of the cost of compiling a term. So
// the closure is taken here, once, by the same ICU function, and the class is put into the
// expressions as a case-sensitive group that matches exactly what the closed set matches:
// the letters and digits and the few characters that fold to one (U+0345, a combining mark
// that folds to the Greek iota).
const QString& wordCharacter()
{
    static const QString expression = [] {
        const QString plain = QStringLiteral("[\\p{L}\\p{N}]");
        UErrorCode status = U_ZERO_ERROR;
        const icu::UnicodeSet letters(toIcu(plain), status);
        icu::UnicodeSet added(letters);
        added.closeOver(USET_CASE_INSENSITIVE).removeAllStrings().removeAll(letters);
        if (U_FAILURE(status) || added.isBogus()) {
            return plain;  // the expression closes it itself, only more slowly
        }
        QString extra;
        for (int32_t i = 0; i < added.getRangeCount(); ++i) {
            extra += QStringLiteral("\\x{%1}-\\x{%2}").arg(added.getRangeStart(i), 0, 16).arg(added.getRangeEnd(i), 0, 16);
        }
        return QStringLiteral("(?-i:[\\p{L}\\p{N}%1])").arg(extra);
    }();
    return expression;
}

// `text` with every match of `regex` replaced by `term`, taken literally; `text` as it was
// when the search fails or takes too long.
QString replacedMatches(const icu::RegexPattern& regex, const QString& text, const QString& term)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString subject = toIcu(text);
    std::unique_ptr<icu::RegexMatcher> matcher(regex.matcher(subject, status));
    if (U_FAILURE(status) || !matcher) {
        return text;
    }
    matcher->setTimeLimit(kMatchTimeLimit, status);

    // The replacement is spliced in by hand, so the term is always taken literally
    // ("$1" and "\" included).
    QString rewritten;
    int32_t copied = 0;
    while (matcher->find(status)) {
        const int32_t start = matcher->start(status);
        const int32_t end = matcher->end(status);
        if (U_FAILURE(status)) {
            break;
        }
        rewritten.append(fromIcu(subject.tempSubStringBetween(copied, start)));
        rewritten.append(term);
        copied = end;
    }
    if (U_FAILURE(status)) {
        return text;  // too costly or broken: this term leaves the text as it was
    }
    rewritten.append(fromIcu(subject.tempSubStringBetween(copied, subject.length())));
    return rewritten;
}

}  // namespace

// The terms in the order they are applied, each with its expression, built by the first
// `apply` of any copy. ICU's patterns are immutable once compiled; each search makes its
// own matcher.
struct Vocabulary::SpellingPass::Compiled {
    struct Term {
        QString spelling;
        std::unique_ptr<icu::RegexPattern> regex;
    };
    std::once_flag built;
    std::vector<Term> terms;
    // Atomic so that the count stays true should the compilations ever overlap.
    std::atomic<int> compilations = 0;
};

QString Vocabulary::sanitized(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || (u >= 0x7F && u <= 0x9F);
        const bool bidi = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
        const bool space = (u >= 0x09 && u <= 0x0D) || u == 0x85;
        if (space) {
            result.append(u' ');
        } else if (!control && !bidi) {
            result.append(c);
        }
    }
    return result;
}

QStringList Vocabulary::terms()
{
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    const QString key = QString::fromLatin1(Settings::vocabularyKey);
    const QVariant stored = defaults.object(key);
    if (!stored.isValid()) {
        return {};
    }
    QStringList list;
    bool intact = stored.typeId() == QMetaType::QVariantList || stored.typeId() == QMetaType::QStringList;
    if (intact) {
        const QVariantList items = stored.toList();
        for (const QVariant& item : items) {
            if (item.typeId() != QMetaType::QString) {
                intact = false;
                continue;
            }
            const QString term = sanitized(item.toString());
            const bool tooLong = term.size() > maxTermUnits;
            intact = intact && term == item.toString() && !term.isEmpty() && !tooLong;
            if (!term.isEmpty() && !tooLong) {
                list.append(term);
            }
        }
    }
    // A list edited by hand or by another program may hold any number of terms, and every
    // dictation pays for each one (an expression to compile, words in the prompt): the terms
    // beyond the bound wait in the copy set aside.
    if (list.size() > maxTerms) {
        list.resize(maxTerms);
        intact = false;
    }
    // Only with a copy on disk may the damaged value be replaced; without one it stays,
    // and the next read tries again.
    if (!intact && defaults.keepValueAside(key)) {
        defaults.set(key, list);
    }
    return list;
}

int Vocabulary::add(const QString& input)
{
    QStringList list = terms();

    QStringList pieces;
    QString piece;
    for (const QChar c : input) {
        if (c == u',' || c == u';' || c == u'\n') {
            pieces.append(piece);
            piece.clear();
        } else {
            piece.append(c);
        }
    }
    pieces.append(piece);

    int added = 0;
    for (const QString& raw : std::as_const(pieces)) {
        const QString term = sanitized(raw).trimmed();
        if (term.isEmpty() || !fits(term) || list.size() >= maxTerms) {
            continue;
        }
        const bool known = std::any_of(list.begin(), list.end(),
                                       [&](const QString& stored) { return equalIgnoringCase(stored, term); });
        if (known) {
            continue;
        }
        list.append(term);
        ++added;
    }

    if (const auto failure = platform::UserDefaults::standard().set(QString::fromLatin1(Settings::vocabularyKey), list)) {
        throw *failure;
    }
    return added;
}

bool Vocabulary::fits(const QString& term)
{
    // The unit count first: it is free, and it bounds the cost of counting characters.
    return term.size() <= maxTermUnits && graphemeCount(term) <= maxTermLength;
}

qsizetype Vocabulary::characterCount(const QString& text)
{
    return graphemeCount(text);
}

bool Vocabulary::sameTerm(const QString& a, const QString& b)
{
    return equalIgnoringCase(a, b);
}

void Vocabulary::remove(const QString& term)
{
    // Exact, case-sensitive equality, but a composed and a decomposed "é" are one letter.
    const QString wanted = term.normalized(QString::NormalizationForm_C);
    QStringList list = terms();
    list.removeIf([&](const QString& stored) { return stored.normalized(QString::NormalizationForm_C) == wanted; });
    if (const auto failure = platform::UserDefaults::standard().set(QString::fromLatin1(Settings::vocabularyKey), list)) {
        throw *failure;
    }
}

QString Vocabulary::pattern(const QString& term)
{
    QStringList variants{exactVariant(term)};

    const std::vector<qsizetype> boundaries = graphemeBoundaries(term);
    const qsizetype n = static_cast<qsizetype>(boundaries.size()) - 1;
    if (n >= 4 && !term.contains(u' ')) {
        for (qsizetype k = 2; k <= n - 2; ++k) {
            const QStringView view(term);
            variants.append(escapedLiteral(view.left(boundaries[k])) + QStringLiteral("[ -]")
                            + escapedLiteral(view.mid(boundaries[k])));
        }
    }
    return QStringLiteral("(?<!") + wordCharacter() + QStringLiteral(")(?:") + variants.join(u'|') + QStringLiteral(")(?!")
           + wordCharacter() + u')';
}

QString Vocabulary::applySpelling(const QString& text, const QStringList& terms)
{
    return SpellingPass(terms).apply(text);
}

Vocabulary::SpellingPass::SpellingPass(const QStringList& terms)
    : terms_(terms), compiled_(std::make_shared<Compiled>())
{
}

void Vocabulary::SpellingPass::compile() const
{
    if (!compiled_) {
        return;
    }
    std::call_once(compiled_->built, [this] {
        std::vector<std::pair<qsizetype, QString>> ordered;
        ordered.reserve(terms_.size());
        for (const QString& term : terms_) {
            ordered.emplace_back(graphemeCount(term), term);
        }
        std::stable_sort(ordered.begin(), ordered.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        std::vector<Compiled::Term> compiled;
        for (const auto& [length, term] : ordered) {
            // An empty term would match the empty text at every position and rewrite nothing.
            if (term.isEmpty()) {
                continue;
            }
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::RegexPattern> regex(
                icu::RegexPattern::compile(toIcu(pattern(term)), UREGEX_CASE_INSENSITIVE, status));
            if (U_SUCCESS(status) && regex) {
                compiled.push_back({term, std::move(regex)});
            }
        }
        compiled_->terms = std::move(compiled);
        ++compiled_->compilations;
    });
}

int Vocabulary::SpellingPass::compilations() const
{
    return compiled_ ? compiled_->compilations.load() : 0;
}

QString Vocabulary::SpellingPass::apply(const QString& text) const
{
    if (!compiled_) {
        return text;
    }
    compile();
    QString current = text;
    for (const Compiled::Term& term : compiled_->terms) {
        current = replacedMatches(*term.regex, current, term.spelling);
    }
    return current;
}

}  // namespace korvu

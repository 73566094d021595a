#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace korvu {

// The user's vocabulary: names and terms that dictation writes in one fixed spelling.
// The list lives in the user defaults under "vocabulary", in insertion order. Main thread
// only.
class Vocabulary {
public:
    Vocabulary() = delete;

    static constexpr int maxTermLength = 60;  // user-perceived characters, after trimming
    // UTF-16 units: one character may carry any number of combining marks, and a term of a
    // few characters must not grow the settings file and every dictation without bound.
    static constexpr int maxTermUnits = 240;
    static constexpr int maxTerms = 80;

    // The stored list: every text of the stored value that is not empty once it is
    // `sanitized`, in order, the first `maxTerms` of them. When the value is no list, holds
    // anything else, more terms than that, or a text lost characters or a term longer than
    // `maxTermUnits`, the stored value is first set aside ("vocabulary.json.defekt" beside
    // the settings file) and then replaced by what was read, so no later write destroys the
    // only copy. Empty when the key is missing.
    static QStringList terms();

    // Adds the terms of `input`, separated by ",", ";" or line feeds. Pieces are
    // `sanitized`, then trimmed;
    // empty ones, ones that do not `fit`, ones that would exceed 80 terms and ones
    // already stored in any capitalisation are skipped. The list is stored back in any
    // case. Returns how many terms were added. Throws platform::WriteError when the list
    // did not reach the settings file (it is kept in memory, and the next write tries
    // again).
    static int add(const QString& input);

    // Removes every entry exactly equal to `term` and stores the list back. Throws as `add`.
    static void remove(const QString& term);

    // Whether a trimmed term is short enough for the list: at most 60 characters and at
    // most 240 UTF-16 units.
    static bool fits(const QString& term);

    // `text` with every occurrence of each term, in any capitalisation, and for terms of
    // four or more characters without a space also split once by a space or a hyphen,
    // rewritten in the term's spelling. A match may neither follow nor precede a letter or
    // digit. Longer terms are applied first. Pure: reads and writes no settings.
    static QString applySpelling(const QString& text, const QStringList& terms);

    // The spelling pass of one term list, for callers that apply it to many texts: each
    // term's expression is compiled once, at the first `apply`, rather than for every
    // text. Copies share the compiled expressions, which never change, so a copy may be
    // applied on any thread, also by several at once.
    class SpellingPass {
    public:
        SpellingPass() = default;  // no terms: every text stays as it is
        explicit SpellingPass(const QStringList& terms);

        // The list it was built from, in its order.
        const QStringList& terms() const { return terms_; }
        // Compiles the expressions now, unless a copy has already; `apply` does it first.
        void compile() const;
        // As `applySpelling(text, terms())`.
        QString apply(const QString& text) const;
        // How often the expressions this pass shares with its copies were compiled: 0 before
        // the first `compile` or `apply` of any of them, 1 after (a default pass has
        // nothing to compile). Tests watch it: a pass that compiles at every apply gives the
        // same texts, only slower.
        int compilations() const;

    private:
        struct Compiled;
        QStringList terms_;
        std::shared_ptr<Compiled> compiled_;
    };

    // `text` without the characters a term must never carry into another program: C0 and C1
    // control characters (DEL too) and the bidirectional embeddings, overrides and isolates
    // (U+202A to U+202E, U+2066 to U+2069). The control characters that are white space
    // (tab, line feed, vertical tab, form feed, carriage return, next line) become a space,
    // so words they separated stay apart.
    static QString sanitized(const QString& text);

    // The number of user-perceived characters (grapheme clusters) of `text`.
    static qsizetype characterCount(const QString& text);
    // Equality ignoring case, the rule of the duplicate checks: composed form, then full
    // case folding ("Straße" equals "STRASSE", "é" never equals "e").
    static bool sameTerm(const QString& a, const QString& b);

private:
    // The regular expression (ICU syntax) that finds one term.
    static QString pattern(const QString& term);
};

}  // namespace korvu

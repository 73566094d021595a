#include "KorvuDarivir/App/Updater.h"

#include "KorvuDarivir/Store/BuildSettings.h"
#include "KorvuDarivir/Store/FailureText.h"
#include "KorvuDarivir/App/UpdateWindow.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QXmlStreamReader>

#include <vector>

namespace korvu {

namespace {

constexpr int transferTimeoutMs = 20000;

// A version split into runs of digits and runs of other characters; dots, dashes and
// other separators only divide.
struct VersionPart {
    bool numeric;
    qulonglong number;
    QString text;
};

std::vector<VersionPart> versionParts(const QString& version)
{
    std::vector<VersionPart> parts;
    static const QRegularExpression piece(QStringLiteral("(\\d+)|([A-Za-z]+)"));
    auto matches = piece.globalMatch(version.trimmed());
    while (matches.hasNext()) {
        const auto match = matches.next();
        if (match.hasCaptured(1)) {
            bool ok = false;
            const qulonglong number = match.captured(1).toULongLong(&ok);
            parts.push_back({true, ok ? number : ~0ULL, {}});
        } else if (!parts.empty()) {  // a leading "v" or name is no part of the version
            parts.push_back({false, 0, match.captured(2).toLower()});
        }
    }
    return parts;
}

// A remaining tail decides alone: zeros add nothing, a text marks a pre-release.
int compareTail(const std::vector<VersionPart>& parts, size_t from)
{
    for (size_t i = from; i < parts.size(); ++i) {
        if (!parts[i].numeric) {
            return -1;
        }
        if (parts[i].number != 0) {
            return 1;
        }
    }
    return 0;
}

// The notes as text, one paragraph per line; list entries keep a mark of their own ("•",
// or their number), which a plain conversion would drop.
QString plainText(const QString& htmlOrText)
{
    QTextDocument document;
    document.setHtml(htmlOrText);
    QStringList lines;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        QString line = block.text();
        if (const QTextList* list = block.textList()) {
            const QTextListFormat::Style style = list->format().style();
            const bool bullet = style == QTextListFormat::ListDisc || style == QTextListFormat::ListCircle
                                || style == QTextListFormat::ListSquare;
            line = (bullet ? QStringLiteral("•") : list->itemText(block)) + QLatin1Char(' ') + line;
            line.prepend(QString(2 * (list->format().indent() - 1), QLatin1Char(' ')));
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n')).trimmed();
}

bool isWebUrl(const QUrl& url)
{
    return url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"))
           && !url.host().isEmpty();
}

}  // namespace

Updater& Updater::shared()
{
    static Updater* updater = new Updater(Options{.feed = QUrl(QString::fromUtf8(build::updateFeedUrl))});
    return *updater;
}

Updater::Updater(Options options, QObject* parent) : QObject(parent), options_(std::move(options))
{
    schedule_.setSingleShot(true);
    connect(&schedule_, &QTimer::timeout, this, [this] {
        check(/*automatic=*/true);
        updateSchedule();
    });
}

Updater::~Updater()
{
    if (window_) {
        delete window_.data();
    }
}

UpdateWindow* Updater::window() const
{
    return window_;
}

void Updater::start()
{
    if (started_) {
        return;
    }
    started_ = true;
    updateSchedule();
}

// The first automatic check comes a while after the start, the next ones at the interval.
void Updater::updateSchedule()
{
    if (!started_ || !hasFeed() || !automaticallyChecksForUpdates()) {
        schedule_.stop();
        return;
    }
    if (!schedule_.isActive()) {
        schedule_.start(scheduledOnce_ ? options_.checkInterval : options_.firstCheckDelay);
        scheduledOnce_ = true;
    }
}

bool Updater::automaticallyChecksForUpdates() const
{
    const QVariant stored = platform::UserDefaults::standard().object(QString::fromLatin1(automaticChecksKey));
    return stored.isValid() ? platform::UserDefaults::standard().boolean(QString::fromLatin1(automaticChecksKey)) : true;
}

void Updater::setAutomaticallyChecksForUpdates(bool enabled)
{
    platform::UserDefaults::standard().set(QString::fromLatin1(automaticChecksKey), enabled);
    if (!enabled) {
        schedule_.stop();
    }
    updateSchedule();
}

void Updater::checkForUpdates()
{
    showWindow();
    check(/*automatic=*/false);
}

QString Updater::currentVersion() const
{
    return options_.currentVersion.isEmpty() ? Settings::appVersion() : options_.currentVersion;
}

void Updater::check(bool automatic)
{
    if (!hasFeed()) {
        if (!automatic) {
            publish(UpdateResult{.kind = UpdateResult::Kind::noFeed, .currentVersion = currentVersion()}, true);
        }
        return;
    }
    if (pending_) {
        // One request at a time; a manual check joins the running one and shows its end.
        pendingIsManual_ = pendingIsManual_ || !automatic;
        if (!automatic && window_) {
            window_->showResult(UpdateResult{.kind = UpdateResult::Kind::checking, .currentVersion = currentVersion()});
        }
        return;
    }
    if (!network_) {
        network_ = new QNetworkAccessManager(this);
    }
    QNetworkRequest request(options_.feed);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("KORVU-Darivir/") + currentVersion());
    QNetworkReply* reply = network_->get(request);
    pending_ = reply;
    pendingIsManual_ = !automatic;
    if (!automatic) {
        publish(UpdateResult{.kind = UpdateResult::Kind::checking, .currentVersion = currentVersion()}, true);
    }
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxFeedBytes) {
            reply->setProperty("tooLarge", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        const bool manual = pendingIsManual_;
        pending_ = nullptr;
        finish(reply, !manual);
        reply->deleteLater();
    });
}

void Updater::finish(QNetworkReply* reply, bool automatic)
{
    UpdateResult result{.kind = UpdateResult::Kind::failed, .currentVersion = currentVersion()};
    if (reply->property("tooLarge").toBool()) {
        result.message = QStringLiteral("Die Update-Informationen sind zu groß. Versuche es später erneut.");
    } else if (reply->error() != QNetworkReply::NoError) {
        // Qt's text (English, with the address) is for the log; the user reads ours.
        FailureText::log("Updater::finish", reply->errorString());
        result.message = FailureText::updateCheck(reply->error(),
                                                  reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
    } else if (const auto item = newestItem(reply->read(maxFeedBytes + 1)); !item) {
        result.message = QStringLiteral("Die Update-Informationen sind nicht lesbar. Versuche es später erneut.");
    } else if (compareVersions(item->version, result.currentVersion) > 0) {
        result.kind = UpdateResult::Kind::updateAvailable;
        result.item = *item;
    } else {
        result.kind = UpdateResult::Kind::upToDate;
    }
    // A scheduled check bothers the user only with a newer version.
    publish(result, !automatic || result.kind == UpdateResult::Kind::updateAvailable);
}

void Updater::publish(const UpdateResult& result, bool show)
{
    result_ = result;
    if (show) {
        showWindow();
    }
    if (window_) {
        window_->showResult(result);
    }
    if (result.kind != UpdateResult::Kind::checking) {
        emit checkFinished(result);
    }
}

void Updater::showWindow()
{
    if (!window_) {
        window_ = new UpdateWindow();
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

std::optional<AppcastItem> Updater::newestItem(const QByteArray& feed)
{
    QXmlStreamReader xml(feed);
    std::optional<AppcastItem> newest;
    bool sawRss = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) {
            continue;
        }
        if (xml.name() == QLatin1String("rss")) {
            sawRss = true;
            continue;
        }
        if (xml.name() != QLatin1String("item")) {
            continue;
        }
        QString shortVersion;
        QString version;
        QString notes;
        QUrl link;
        QUrl enclosure;
        while (!xml.atEnd() && !(xml.isEndElement() && xml.name() == QLatin1String("item"))) {
            xml.readNext();
            if (!xml.isStartElement()) {
                continue;
            }
            const auto name = xml.name();
            if (name == QLatin1String("enclosure")) {
                const auto attributes = xml.attributes();
                enclosure = QUrl(attributes.value(QLatin1String("url")).toString().trimmed());
                for (const auto& attribute : attributes) {
                    if (attribute.name() == QLatin1String("shortVersionString") && shortVersion.isEmpty()) {
                        shortVersion = attribute.value().toString().trimmed();
                    } else if (attribute.name() == QLatin1String("version") && version.isEmpty()) {
                        version = attribute.value().toString().trimmed();
                    }
                }
            } else if (name == QLatin1String("shortVersionString")) {
                shortVersion = xml.readElementText().trimmed();
            } else if (name == QLatin1String("version") && !xml.namespaceUri().isEmpty()) {
                version = xml.readElementText().trimmed();
            } else if (name == QLatin1String("description")) {
                notes = plainText(xml.readElementText(QXmlStreamReader::IncludeChildElements));
            } else if (name == QLatin1String("link")) {
                link = QUrl(xml.readElementText().trimmed());
            }
        }
        AppcastItem item{.version = shortVersion.isEmpty() ? version : shortVersion, .notes = notes};
        item.download = isWebUrl(enclosure) ? enclosure : (isWebUrl(link) ? link : QUrl());
        if (versionParts(item.version).empty()) {
            continue;
        }
        if (!newest || compareVersions(item.version, newest->version) > 0) {
            newest = item;
        }
    }
    if (xml.hasError() || !sawRss) {
        return std::nullopt;
    }
    return newest;
}

int Updater::compareVersions(const QString& a, const QString& b)
{
    const auto left = versionParts(a);
    const auto right = versionParts(b);
    const size_t common = std::min(left.size(), right.size());
    for (size_t i = 0; i < common; ++i) {
        const VersionPart& l = left[i];
        const VersionPart& r = right[i];
        if (l.numeric && r.numeric) {
            if (l.number != r.number) {
                return l.number < r.number ? -1 : 1;
            }
        } else if (l.numeric != r.numeric) {
            return l.numeric ? 1 : -1;  // "1.0.1" is newer than "1.0b"
        } else if (const int order = QString::compare(l.text, r.text); order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    if (left.size() > common) {
        return compareTail(left, common);
    }
    return -compareTail(right, common);
}

}  // namespace korvu

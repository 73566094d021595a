#include "Platform/Defaults/UserDefaults.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStandardPaths>

#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>

namespace platform {
namespace {

std::optional<QVariantMap> parseSettings(const QByteArray& data)
{
    if (data.trimmed().isEmpty()) {
        return QVariantMap();
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object().toVariantMap();
}

QByteArray serialized(const QVariantMap& map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Indented);
}

// The integer at the start of a text ("  42abc" gives 42); 0 when there is none or it
// does not fit.
qint64 leadingInteger(const QString& text)
{
    const QString trimmed = text.trimmed();
    qsizetype end = 0;
    if (end < trimmed.size() && (trimmed[end] == u'-' || trimmed[end] == u'+')) {
        ++end;
    }
    while (end < trimmed.size() && trimmed[end] >= u'0' && trimmed[end] <= u'9') {
        ++end;
    }
    bool ok = false;
    const qint64 result = trimmed.left(end).toLongLong(&ok);
    return ok ? result : 0;
}

qint64 integerOfNumber(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::ULongLong: {
        const qulonglong v = value.toULongLong();
        return v > static_cast<qulonglong>(std::numeric_limits<qint64>::max()) ? 0 : static_cast<qint64>(v);
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        // A cast of a value outside the target range is undefined, so such values read as 0.
        const double v = std::trunc(value.toDouble());
        if (!std::isfinite(v) || v < -9.2e18 || v > 9.2e18) {
            return 0;
        }
        return static_cast<qint64>(v);
    }
    default:
        return value.toLongLong();
    }
}

}  // namespace

bool UserDefaults::isNumber(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

UserDefaults::UserDefaults(const QString& filePath, QObject* parent)
    : UserDefaults(filePath, PrivateFile::write, parent)
{
}

UserDefaults::UserDefaults(const QString& filePath, PrivateFile::Writer writer, QObject* parent)
    : QObject(parent), filePath_(filePath), writer_(std::move(writer))
{
    const std::filesystem::path file(filePath_.toStdString());
    PrivateFile::makeFolder(file.parent_path());
    PrivateFile::removeLeftovers(file);
    const PrivateFile::Contents existing = PrivateFile::read(file);
    const std::optional<QVariantMap> parsed =
        existing.status == PrivateFile::Contents::Status::read ? parseSettings(existing.data) : std::nullopt;
    if (parsed) {
        stored_ = *parsed;
    } else if (existing.status != PrivateFile::Contents::Status::missing) {
        // The next write would replace what cannot be read (a file that does not parse, a
        // pipe, a link to a device, one far too large): whatever it held can still be
        // recovered by hand.
        if (const std::optional<std::filesystem::path> aside = PrivateFile::setAside(file)) {
            keptAside_.append(QString::fromStdString(aside->string()));
        }
    }
    // A file an older version left readable by everyone is the user's alone from now on.
    PrivateFile::restrict(file);
}

UserDefaults::~UserDefaults() = default;

UserDefaults& UserDefaults::standard()
{
    static UserDefaults instance(standardFilePath());
    return instance;
}

QString UserDefaults::standardFilePath()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty()) {
        base = QDir::homePath() + QStringLiteral("/.config");
    }
    return base + QStringLiteral("/KORVU Darivir/settings.json");
}

void UserDefaults::registerDefaults(const QVariantMap& defaults)
{
    std::scoped_lock lock(mutex_);
    for (auto it = defaults.begin(); it != defaults.end(); ++it) {
        registered_.insert(it.key(), it.value());
    }
}

QVariant UserDefaults::object(const QString& key) const
{
    std::scoped_lock lock(mutex_);
    const QVariant stored = stored_.value(key);
    if (stored.isValid()) {
        return stored;
    }
    return registered_.value(key);
}

bool UserDefaults::hasStoredValue(const QString& key) const
{
    std::scoped_lock lock(mutex_);
    return stored_.contains(key);
}

UserDefaults::SaveOutcome UserDefaults::saveLocked()
{
    // Straight to disk, the whole file: a value that only waited in memory would be lost if
    // the process died before the next write. A failed write keeps every value in memory,
    // and the next write tries them all again.
    try {
        writer_(std::filesystem::path(filePath_.toStdString()), serialized(stored_));
        const bool recovered = unsaved_.has_value();
        unsaved_.reset();
        return {.recovered = recovered};
    } catch (const WriteError& error) {
        unsaved_ = error;
        return {.failure = error};
    }
}

std::optional<WriteError> UserDefaults::announce(const SaveOutcome& outcome, const QString& key)
{
    if (outcome.recovered) {
        emit savedAgain();
    }
    if (outcome.failure) {
        qWarning("Settings not saved: %s", outcome.failure->what());
        emit writeFailed(key);
    }
    return outcome.failure;
}

std::optional<WriteError> UserDefaults::set(const QString& key, const QVariant& value)
{
    bool differs = false;
    SaveOutcome outcome;
    {
        std::scoped_lock lock(mutex_);
        const QVariant before = stored_.value(key);
        differs = before.isValid() != value.isValid() || before != value;
        if (value.isValid()) {
            stored_.insert(key, value);
        } else {
            stored_.remove(key);
        }
        outcome = saveLocked();
    }
    if (differs) {
        emit changed(key);
    }
    return announce(outcome, key);
}

std::optional<WriteError> UserDefaults::removeObject(const QString& key)
{
    return set(key, QVariant());
}

std::optional<WriteError> UserDefaults::removeAllStoredValues()
{
    QStringList keys;
    SaveOutcome outcome;
    {
        std::scoped_lock lock(mutex_);
        keys = stored_.keys();
        stored_.clear();
        outcome = saveLocked();
    }
    for (const QString& key : keys) {
        emit changed(key);
    }
    return announce(outcome, QString());
}

std::optional<WriteError> UserDefaults::unsavedFailure() const
{
    std::scoped_lock lock(mutex_);
    return unsaved_;
}

std::optional<WriteError> UserDefaults::save()
{
    SaveOutcome outcome;
    {
        std::scoped_lock lock(mutex_);
        if (!unsaved_) {
            return std::nullopt;
        }
        outcome = saveLocked();
    }
    return announce(outcome, QString());
}

std::optional<QString> UserDefaults::keepValueAside(const QString& key)
{
    std::scoped_lock lock(mutex_);
    const QVariant value = stored_.value(key);
    if (!value.isValid()) {
        return std::nullopt;
    }
    QJsonObject object;
    object.insert(key, QJsonValue::fromVariant(value));
    const QByteArray data = QJsonDocument(object).toJson(QJsonDocument::Indented);

    const QFileInfo settingsFile(filePath_);
    const std::filesystem::path aside =
        PrivateFile::asideName(std::filesystem::path((settingsFile.absolutePath() + u'/' + key + QStringLiteral(".json")).toStdString()));
    try {
        PrivateFile::write(aside, data);
    } catch (const WriteError&) {
        return std::nullopt;
    }
    keptAside_.append(QString::fromStdString(aside.string()));
    return keptAside_.last();
}

QStringList UserDefaults::keptAside() const
{
    std::scoped_lock lock(mutex_);
    return keptAside_;
}

std::optional<QString> UserDefaults::string(const QString& key) const
{
    const QVariant value = object(key);
    if (value.typeId() == QMetaType::QString) {
        return value.toString();
    }
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    }
    if (isNumber(value)) {
        return value.toString();
    }
    return std::nullopt;
}

bool UserDefaults::boolean(const QString& key) const
{
    const QVariant value = object(key);
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool();
    }
    if (isNumber(value)) {
        return value.toDouble() != 0.0;
    }
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed().toLower();
        if (text == u"true" || text == u"yes") {
            return true;
        }
        return leadingInteger(text) != 0;
    }
    return false;
}

qint64 UserDefaults::integer(const QString& key) const
{
    const QVariant value = object(key);
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool() ? 1 : 0;
    }
    if (isNumber(value)) {
        return integerOfNumber(value);
    }
    if (value.typeId() == QMetaType::QString) {
        return leadingInteger(value.toString());
    }
    return 0;
}

std::optional<QVariantMap> UserDefaults::dictionary(const QString& key) const
{
    const QVariant value = object(key);
    if (value.typeId() == QMetaType::QVariantMap) {
        return value.toMap();
    }
    if (value.typeId() == QMetaType::QVariantHash) {
        QVariantMap map;
        const QVariantHash hash = value.toHash();
        for (auto it = hash.begin(); it != hash.end(); ++it) {
            map.insert(it.key(), it.value());
        }
        return map;
    }
    return std::nullopt;
}

std::optional<QVariantList> UserDefaults::array(const QString& key) const
{
    const QVariant value = object(key);
    if (value.typeId() == QMetaType::QVariantList || value.typeId() == QMetaType::QStringList) {
        return value.toList();
    }
    return std::nullopt;
}

std::optional<QStringList> UserDefaults::stringArray(const QString& key) const
{
    const std::optional<QVariantList> list = array(key);
    if (!list) {
        return std::nullopt;
    }
    QStringList strings;
    strings.reserve(list->size());
    for (const QVariant& element : *list) {
        if (element.typeId() != QMetaType::QString) {
            return std::nullopt;
        }
        strings.append(element.toString());
    }
    return strings;
}

}  // namespace platform

#include "KorvuDarivir/Store/FailureText.h"

#include "BexmorCore/External/Hub/Downloader.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "Platform/Net/UrlError.h"
#include "Vocarion/Utilities/DarivirError.h"

#include <QLocale>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdint>
#include <system_error>

namespace korvu {

namespace {

Q_LOGGING_CATEGORY(failures, "korvu.failure")

const QString tryAgain = QStringLiteral("Prüfe deine Internetverbindung und versuche es erneut.");

QString noConnection(const QString& server)
{
    return QStringLiteral("Keine Verbindung zum %1. ").arg(server) + tryAgain;
}

QString notAnswering(const QString& server)
{
    return QStringLiteral("Der %1 antwortet nicht. ").arg(server) + tryAgain;
}

QString refusedWithStatus(const QString& server, long long status)
{
    return QStringLiteral("Der %1 hat die Anfrage mit Fehler %2 abgelehnt. Versuche es später erneut.")
        .arg(server)
        .arg(status);
}

const QString modelServer = QStringLiteral("Modell-Server");
const QString updateServer = QStringLiteral("Update-Server");

QString notStored()
{
    return QStringLiteral("Das Sprachmodell konnte nicht gespeichert werden. Prüfe, ob der Modellordner beschreibbar "
                          "und genug Speicherplatz frei ist, und versuche es erneut.");
}

// "10,7 GB", "512 MB": the amounts a user compares with what the file manager shows.
QString amount(uint64_t bytes)
{
    return QLocale(QLocale::German, QLocale::Germany)
        .formattedDataSize(static_cast<qint64>(std::min<uint64_t>(bytes, INT64_MAX)), 1, QLocale::DataSizeSIFormat);
}

QString notEnoughSpace(uint64_t needed, uint64_t available)
{
    return QStringLiteral("Für das Sprachmodell ist nicht genug Speicherplatz frei: Es braucht noch %1, frei sind %2. "
                          "Gib Speicherplatz frei und versuche es erneut.")
        .arg(amount(needed), amount(available));
}

QString diskFull(std::optional<uint64_t> needed, bool partRemoved)
{
    QString text = QStringLiteral("Beim Speichern des Sprachmodells ist der Speicherplatz ausgegangen");
    text += partRemoved ? QStringLiteral("; der angefangene Teil wurde wieder gelöscht.") : QStringLiteral(".");
    if (needed) text += QStringLiteral(" Das Sprachmodell braucht %1.").arg(amount(*needed));
    return text + QStringLiteral(" Gib Speicherplatz frei und versuche es erneut.");
}

QString nameTooLong()
{
    return QStringLiteral("Eine Datei des Sprachmodells hat einen Namen, der für das Dateisystem dieses Rechners zu lang "
                          "ist, und kann hier nicht gespeichert werden. Versuche es später erneut.");
}

}  // namespace

QString FailureText::modelDownload(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const platform::UrlError& e) {
        return e.code() == platform::UrlError::Code::timedOut ? notAnswering(modelServer) : noConnection(modelServer);
    } catch (const bexmor::HubClientError& e) {
        using Case = bexmor::HubClientError::Case;
        switch (e.kind()) {
        case Case::downloadError:  // a transport failure of a hub request
            if (e.transportCode() == platform::UrlError::Code::timedOut) return notAnswering(modelServer);
            return noConnection(modelServer);
        case Case::networkError:
            return noConnection(modelServer);
        case Case::authorizationRequired:
        case Case::httpStatusCode:
            return refusedWithStatus(modelServer, e.statusCode().value_or(0));
        case Case::fileNotFound:
        case Case::resourceNotFound:
            return refusedWithStatus(modelServer, 404);
        case Case::fileSystemError:
            return notStored();
        default:
            break;
        }
    } catch (const bexmor::EnvironmentError& e) {
        using Case = bexmor::EnvironmentError::Case;
        switch (e.kind()) {
        case Case::offlineModeError:
            return QStringLiteral("Dieser Rechner ist offline. Verbinde ihn mit dem Internet und versuche es erneut.");
        case Case::fileIntegrityError:
            return QStringLiteral("Das Sprachmodell kam beschädigt an. Versuche es erneut.");
        case Case::fileWriteError:
            // A record that found the disk full: nothing of the file itself was removed.
            if (bexmor::StorageError::isOutOfSpace(e.code())) return diskFull(std::nullopt, false);
            return notStored();
        case Case::invalidMetadataError:
            break;
        }
    } catch (const bexmor::StorageError& e) {
        using Case = bexmor::StorageError::Case;
        switch (e.kind()) {
        case Case::notEnoughSpace: return notEnoughSpace(e.needed().value_or(0), e.available().value_or(0));
        case Case::diskFull: return diskFull(e.needed(), true);
        case Case::nameTooLong: return nameTooLong();
        }
    } catch (const bexmor::ListingTooLargeError& e) {
        return QStringLiteral("Der Modell-Server nennt für das Sprachmodell mehr als %1 Dateien; so viele hat kein "
                              "Sprachmodell. Es wurde nichts heruntergeladen. Versuche es später erneut.")
            .arg(QLocale(QLocale::German, QLocale::Germany).toString(static_cast<qulonglong>(e.limit())));
    } catch (const bexmor::InvalidSizeError&) {
        return QStringLiteral("Der Modell-Server hat für eine Datei des Sprachmodells eine ungültige Größe genannt. "
                              "Es wurde nichts davon heruntergeladen. Versuche es später erneut.");
    } catch (const bexmor::DownloadError&) {
        // The server answered, but not with the file it announced: more or fewer bytes, a
        // refused transfer, a file that changed under the download.
        return QStringLiteral("Der Modell-Server hat das Sprachmodell nicht so geschickt, wie er es angekündigt hat. "
                              "Versuche es später erneut.");
    } catch (const vocarion::DarivirError& e) {
        // The server answered, but its repository lacks the application's variant.
        if (e.kind() == vocarion::DarivirError::Kind::modelsUnavailable) {
            return QStringLiteral("Der Modell-Server bietet das Sprachmodell gerade nicht an. Versuche es später "
                                  "erneut.");
        }
    } catch (const std::system_error& e) {  // file system errors included
        if (bexmor::StorageError::isOutOfSpace(e.code())) return diskFull(std::nullopt, false);
        if (bexmor::StorageError::isNameTooLong(e.code())) return nameTooLong();
        return notStored();
    } catch (...) {
    }
    return QStringLiteral("Das Sprachmodell konnte nicht heruntergeladen werden. Versuche es später erneut.");
}

QString FailureText::modelLoad(const std::filesystem::path& folder)
{
    return QStringLiteral("Das Sprachmodell auf diesem Rechner ist unvollständig oder beschädigt. Lösche den Ordner "
                          "„%1“ und versuche es erneut, dann wird es neu heruntergeladen.")
        .arg(QString::fromStdString(folder.string()));
}

QString FailureText::updateCheck(QNetworkReply::NetworkError error, int httpStatus)
{
    using E = QNetworkReply::NetworkError;
    if (httpStatus >= 400) {
        return refusedWithStatus(updateServer, httpStatus);
    }
    switch (error) {
    case E::TimeoutError:
    case E::OperationCanceledError:  // the transfer time-out cancels the request
        return notAnswering(updateServer);
    case E::SslHandshakeFailedError:
        return QStringLiteral("Die sichere Verbindung zum Update-Server ist fehlgeschlagen. Prüfe Datum und Uhrzeit "
                              "dieses Rechners und versuche es später erneut.");
    case E::InsecureRedirectError:
    case E::TooManyRedirectsError:
        return QStringLiteral("Der Update-Server leitet auf eine Adresse um, der KORVU Darivir nicht folgt. Versuche es "
                              "später erneut.");
    default:
        return noConnection(updateServer);
    }
}

QString FailureText::notSaved(const platform::WriteError& error)
{
    const QString file = QString::fromStdString(error.file().filename().string());
    const QString folder = QString::fromStdString(error.file().parent_path().string());
    switch (error.reason()) {
    case platform::WriteError::Reason::diskFull:
        return QStringLiteral("Der Datenträger ist voll. Gib Speicherplatz frei und versuche es erneut.");
    case platform::WriteError::Reason::readOnly:
        return QStringLiteral("Der Ordner „%1“ ist schreibgeschützt. Gib dir dort Schreibrechte und versuche es erneut.")
            .arg(folder);
    case platform::WriteError::Reason::inTheWay:
        return QStringLiteral("An der Stelle von „%1“ im Ordner „%2“ liegt etwas anderes, etwa ein Ordner. Räume es "
                              "beiseite und versuche es erneut.")
            .arg(file, folder);
    case platform::WriteError::Reason::other:
        break;
    }
    return QStringLiteral("Die Datei „%1“ im Ordner „%2“ ließ sich nicht schreiben. Prüfe den Ordner und versuche es "
                          "erneut.")
        .arg(file, folder);
}

QString FailureText::libraryText(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

void FailureText::log(const char* component, const QString& text)
{
    qCWarning(failures, "%s: %s", component, qUtf8Printable(text));
}

}  // namespace korvu

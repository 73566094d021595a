#include "KorvuDarivir/App/CommandLine.h"

#include "KorvuDarivir/Store/BuildSettings.h"

namespace korvu {

std::optional<CommandLine::Information> CommandLine::informationRequest(const QStringList& arguments)
{
    if (arguments.size() < 2) return std::nullopt;
    const QString& first = arguments.at(1);
    if (first == QLatin1String("--help") || first == QLatin1String("-h")) return Information::help;
    if (first == QLatin1String("--version")) return Information::version;
    return std::nullopt;
}

QString CommandLine::text(Information information)
{
    if (information == Information::version) {
        return QStringLiteral("KORVU Darivir %1\n").arg(QString::fromLatin1(build::version));
    }
    return QStringLiteral(
        "Aufruf: korvu-darivir [--add-word TEXT | --render-icon ORDNER SVG | --help | --version]\n"
        "\n"
        "KORVU Darivir nimmt auf ein Tastenkürzel hin Sprache auf, erkennt sie lokal und fügt\n"
        "den Text in das Textfeld ein, in dem du gerade schreibst.\n"
        "\n"
        "  korvu-darivir                           startet die Anwendung; läuft sie schon,\n"
        "                                          zeigt sie ihre Einstellungen\n"
        "  korvu-darivir --add-word TEXT           fügt TEXT dem Wörterbuch der laufenden\n"
        "                                          Anwendung hinzu (Status 1, wenn keine läuft)\n"
        "  korvu-darivir --render-icon ORDNER SVG  schreibt die zehn Symbolbilder aus der\n"
        "                                          SVG-Datei in ORDNER und endet\n"
        "  korvu-darivir --help                    zeigt diese Hilfe\n"
        "  korvu-darivir --version                 zeigt die Version\n");
}

}  // namespace korvu

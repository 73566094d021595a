// What the vocabulary's spelling pass adds to a dictation of 40 words, with no term, one
// and the full 80: at the first dictation after the vocabulary changed (the terms'
// expressions are compiled, then applied) and at every later one (only applied). The
// letter-and-digit class the expressions share is made once per process, in the first
// iteration, so it hardly shows here (about a millisecond).
#include "KorvuDarivir/Store/Vocabulary.h"

#include <benchmark/benchmark.h>

#include <QString>
#include <QStringList>

namespace {

using korvu::Vocabulary;

// The 40 words of a business dictation, with some of the terms as the speech engine
// writes them: another capitalisation, split by a space or a hyphen.
const QString& dictation()
{
    static const QString text = QStringLiteral(
        "Guten Morgen Frau tannholt, gestern haben wir mit Korvu Darivir und dem Team von "
        "Bexmor Systems die Anbindung an kuber netes und Postgre-SQL besprochen. Die Unterlagen "
        "für die Bundesanstalt für Finanzdienstleistungsaufsicht schicke ich Ihnen bis Freitag "
        "nach Frankfurt am Main.");
    return text;
}

// A full vocabulary: people, companies, products, places and technical terms, one to
// seven words, up to the 60 characters a term may have.
QStringList terms(int count)
{
    static const QStringList all{
        "Tannholt", "KORVU Darivir", "Bexmor Systems", "Kubernetes", "PostgreSQL", "Vocarion",
        "Bundesanstalt für Finanzdienstleistungsaufsicht", "Dr. Annegret Wilmsdorf-Kehrenbach",
        "Jörg Überbacher", "Siobhan O'Callaghan", "Zhang Weiqiang", "Małgorzata Wiśniewska",
        "Sebastián Etxeberria", "Aleksandr Volkonskij", "Henrike Tjarks", "Ludovic Beauchêne",
        "Finanzdienstleistungsaufsichtsbehörden Rheinland-Pfalz Mitte", "Donaudampfschifffahrtsgesellschaft",
        "Kraftfahrzeughaftpflichtversicherung", "Grundstücksverkehrsgenehmigungszuständigkeitsübertragung",
        "Rechtsschutzversicherungsgesellschaften", "Elasticsearch", "TensorFlow Lite", "OpenTelemetry Collector",
        "gRPC", "GraphQL", "Terraform Cloud", "Prometheus Alertmanager", "Grafana Loki", "RabbitMQ",
        "Apache Kafka Streams", "ClickHouse", "Snowflake Data Cloud", "SAP S/4HANA", "Microsoft Dynamics 365",
        "Salesforce Marketing Cloud", "HubSpot", "Atlassian Confluence", "Jira Service Management", "GitLab Runner",
        "Nextcloud Hub", "Mattermost", "WireGuard", "OpenVPN Access Server", "Keycloak", "Vaultwarden", "Hetzner",
        "Deutsche Bahn Fernverkehr", "Lufthansa Technik", "Stadtwerke Münster-Hiltrup", "Ostholsteiner Landmaschinen",
        "Kreissparkasse Ludwigsburg", "Volksbank Mittelhessen", "Universitätsklinikum Schleswig-Holstein",
        "Fraunhofer-Institut für Integrierte Schaltungen", "Max-Planck-Institut für Kernphysik", "Helmholtz-Zentrum",
        "Oberlandesgericht Düsseldorf", "Bundesministerium für Digitales und Verkehr", "Landratsamt Ebersberg",
        "Wirtschaftsprüfungsgesellschaft Tannholt & Partner mbB", "Kehrenbach Logistik GmbH & Co. KG",
        "Überbacher Sensortechnik", "Quellwerk Analytics", "Nordlicht Softwarehaus", "Brückmann",
        "Schwarzwälder Kirschtorte", "Eyjafjallajökull", "Llanfairpwllgwyngyll", "Škoda Octavia", "Citroën Berlingo",
        "Renault Mégane E-Tech", "ThinkPad X1 Carbon", "MacBook Pro", "Raspberry Pi", "Arduino Nano", "ESP32-C3",
        "Zigbee2MQTT", "Home Assistant", "Node-RED",
    };
    return all.mid(0, count);
}

void spellingFirst(benchmark::State& state)
{
    const QStringList vocabulary = terms(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const Vocabulary::SpellingPass spelling(vocabulary);
        benchmark::DoNotOptimize(spelling.apply(dictation()));
    }
    state.SetLabel("first dictation after a change: compile and apply");
}

void spellingRepeated(benchmark::State& state)
{
    const Vocabulary::SpellingPass spelling(terms(static_cast<int>(state.range(0))));
    spelling.apply(dictation());
    for (auto _ : state) benchmark::DoNotOptimize(spelling.apply(dictation()));
    state.SetLabel("later dictations: apply");
}

}  // namespace

BENCHMARK(spellingFirst)->ArgName("terms")->Arg(0)->Arg(1)->Arg(80)->Unit(benchmark::kMicrosecond);
BENCHMARK(spellingRepeated)->ArgName("terms")->Arg(0)->Arg(1)->Arg(80)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();

// Probes of a hostile hub against the real download code, with the figures a user would
// meet: how much lands on disk, what is left, how long until a slow server is given up,
// how much time and memory a listing of a million files costs, and the sentence shown.
//
//   bench_hostile_hub --folder DIR [--slow]
//
// DIR should be a small file system of its own (for example a 200 MB tmpfs), so the probes
// meet a disk that really runs full. --slow adds the 1-byte-per-second servers, which take
// about a minute each (the body's probe: six tries of a minute each).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "BexmorCore/External/Hub/Downloader.h"
#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "BexmorCore/External/Hub/HubFileDownloader.h"
#include "KorvuDarivir/Store/FailureText.h"
#include "support/FakeHub.h"
#include "support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bexmor::HubApi;

uintmax_t bytesBelow(const fs::path& folder) {
    uintmax_t total = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file(error)) total += it->file_size(error);
    }
    return total;
}

std::vector<std::string> partials(const fs::path& folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().string().find(".incomplete") != std::string::npos) found.push_back(it->path().filename().string());
    }
    return found;
}

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Runs `call`, then prints its time, what it left below `folder` and the user's sentence.
template <typename Call>
void probe(const char* name, const fs::path& folder, Call&& call) {
    const auto start = Clock::now();
    std::string outcome = "completed";
    QString sentence;
    try {
        call();
    } catch (...) {
        outcome = korvu::FailureText::libraryText(std::current_exception()).toStdString();
        sentence = korvu::FailureText::modelDownload(std::current_exception());
    }
    std::printf("\n## %s\n- after %.1f s: %s\n- on disk below the cache: %ju bytes; partial files left: %zu\n- shown: %s\n", name,
                secondsSince(start), outcome.c_str(), bytesBelow(folder), partials(folder).size(), qPrintable(sentence));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    fs::path folder;
    bool slow = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--folder" && i + 1 < argc) folder = argv[++i];
        if (argument == "--slow") slow = true;
    }
    if (folder.empty()) {
        std::fprintf(stderr, "usage: bench_hostile_hub --folder DIR [--slow]\n");
        return 2;
    }
    const auto available = bexmor::availableSpace(folder);
    std::printf("# Hostile hub probes\nfree space in %s: %ju bytes\n", folder.c_str(), available ? uintmax_t(*available) : 0);

    testsupport::FakeHub hub;
    const std::string block = testsupport::makeContent(1024 * 1024, 1);
    hub.addFile("o/huge", "model.bin", {.content = block, .etag = "huge", .announcedSize = 10'000'000'000LL, .endless = true});
    hub.addFile("o/liar", "model.bin", {.content = block, .etag = "liar", .announcedSize = 50'000'000, .endless = true});
    hub.addFile("o/full", "model.bin", {.content = block, .etag = "full", .announcedSize = 10'000'000'000LL, .endless = true});
    hub.addFile("o/long", "sub/" + std::string(300, 'n') + ".bin", {.content = "weights"});
    const auto client = [&](const fs::path& base) { return HubApi(base, std::string(), hub.endpoint(), false, false); };

    probe("10 GB announced, sent without end", folder / "huge", [&] { client(folder / "huge").snapshot({"o/huge"}); });
    probe("50 MB announced, sent without end", folder / "liar", [&] { client(folder / "liar").snapshot({"o/liar"}); });
    // The free space check told wrong (as when another program fills the disk meanwhile):
    // the write itself runs into the full disk.
    probe("10 GB sent without end, the free space check blindfolded", folder / "full", [&] {
        HubApi api = client(folder / "full");
        api.freeSpace = [](const fs::path&) { return std::optional<uint64_t>(UINT64_MAX); };
        api.snapshot({"o/full"});
    });
    probe("a name of 300 characters", folder / "long", [&] { client(folder / "long").snapshot({"o/long"}); });

    {
        std::string body = R"({"id":"o/million","siblings":[)";
        for (int i = 0; i < 1'000'000; ++i) body += (i ? "," : "") + std::string(R"({"rfilename":"w/)") + std::to_string(i) + R"(.bin"})";
        body += "]}";
        hub.setListingBody("o/million", body);
        hub.clearRequests();
        std::printf("\nlisting body: %zu bytes; peak memory before: %ld KiB\n", body.size(), peakRssKiB());
        probe("a listing of 1,000,000 files", folder / "million", [&] { client(folder / "million").snapshot({"o/million"}); });
        std::printf("- peak memory after: %ld KiB; requests after the listing: %d\n", peakRssKiB(),
                    hub.count("HEAD") + hub.count("GET", "/resolve/"));
    }

    if (slow) {
        // One byte a second: the head of an answer, a listing body and a file body.
        const std::string head = "HTTP/1.1 200 OK\r\nX-Repo-Commit: " + std::string(40, 'c') +
                                 "\r\nX-Linked-Etag: \"e\"\r\nX-Linked-Size: 10\r\nContent-Length: 0\r\n\r\n";
        testsupport::TestHttpServer slowHead([&](const testsupport::HttpRequest&, testsupport::HttpResponder& responder) {
            responder.trickle(head, 1000);
        });
        hub.addFile("o/slow", "model.bin", {.content = testsupport::makeContent(100'000, 2), .trickleMilliseconds = 1000, .trickleTimes = 100});
        hub.trickleListings(1000, 1);
        auto headDone = std::async(std::launch::async, [&] {
            probe("head at 1 byte/s", folder / "none", [&] { client(folder / "none").httpHead(slowHead.baseUrl() + "/x"); });
        });
        auto listingDone = std::async(std::launch::async, [&] {
            probe("listing at 1 byte/s", folder / "none", [&] { client(folder / "none").getFilenames({"o/slow"}); });
        });
        headDone.get();
        listingDone.get();
        const auto start = Clock::now();
        probe("file body at 1 byte/s (five resumes)", folder / "slow", [&] {
            HubApi api = client(folder / "slow");
            const HubApi::Repo repo{"o/slow"};
            const auto base = api.repoDestination(repo);
            HubApi::HubFileDownloader file{api, repo, "main", base, HubApi::metadataFolder(base), "model.bin", std::nullopt, api.endpoint, false};
            file.download();
        });
        std::printf("- file GETs: %d over %.0f s\n", hub.count("GET", "/o/slow/resolve/"), secondsSince(start));
    }
    return 0;
}

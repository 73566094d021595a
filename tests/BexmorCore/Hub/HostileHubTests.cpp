// A hub that announces more than the disk holds, sends without end, lists an absurd number
// of files, barely sends at all, or names a file longer than the file system allows: each
// ends the download with its own error before the disk fills, and what is left on disk can
// be resumed or is gone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <sstream>
#include <system_error>

#include "BexmorCore/External/Hub/Downloader.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "BexmorCore/External/Hub/HubFileDownloader.h"
#include "HubTestFixture.h"
#include "support/TestHttpServer.h"
#include "TestPaths.h"

extern char** environ;

namespace {

using bexmor::HubApi;
using bexmor::StorageError;
using hubtest::FakeFile;
using hubtest::makeContent;
using hubtest::MiB;
using hubtest::readFile;
using hubtest::sha256;
using hubtest::writeFile;
namespace fs = std::filesystem;

constexpr int64_t GB = 1000LL * 1000 * 1000;
// What a download needs free beyond the file's own bytes: its records and the reserve.
constexpr uint64_t kBeyond = bexmor::kRecordRoom + bexmor::kSpaceReserve;

// How a call ended, in a word a table can hold.
template <typename Call>
std::string outcomeOf(Call&& call) {
    try {
        call();
        return "completed";
    } catch (const StorageError& error) {
        switch (error.kind()) {
        case StorageError::Case::notEnoughSpace: return "notEnoughSpace";
        case StorageError::Case::diskFull: return "diskFull";
        case StorageError::Case::nameTooLong: return "nameTooLong";
        }
    } catch (const bexmor::ListingTooLargeError&) {
        return "listingTooLarge";
    } catch (const bexmor::DownloadError&) {
        return "unexpected";
    } catch (const bexmor::InvalidSizeError& error) {
        return "invalidSize " + error.file() + " \"" + error.announced() + "\"";
    } catch (const bexmor::UrlError& error) {
        if (error.code() == bexmor::UrlError::Code::timedOut) return "timedOut";
        if (error.code() == bexmor::UrlError::Code::tooManyRedirects) return "tooManyRedirects";
        return error.code() == bexmor::UrlError::Code::connectionLost ? "connectionLost" : error.what();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "?";
}

class HostileHub : public hubtest::HubTest {
protected:
    // A client whose disk has `free` bytes left; without a figure, the machine's own.
    HubApi hub(std::optional<uint64_t> free) const {
        HubApi api = client(false);
        if (free) api.freeSpace = [free](const fs::path&) { return free; };
        return api;
    }
    HubApi::HubFileDownloader file(const HubApi& api, const std::string& name, const HubApi::Repo& in) const {
        const auto folder = api.repoDestination(in);
        HubApi::HubFileDownloader download{api, in, "main", folder, HubApi::metadataFolder(folder), name, api.hubToken, api.endpoint, false};
        download.retryDelay = std::chrono::milliseconds(10);
        return download;
    }
    // Every file below a repository folder, partial files included, by size; records by
    // name only (size 0), as their time of writing varies.
    std::map<std::string, uintmax_t> onDisk(const HubApi::Repo& in) const {
        std::map<std::string, uintmax_t> files;
        const fs::path folder = base.path() / "models" / in.id;
        if (!fs::exists(folder)) return files;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            const bool record = entry.path().extension() == ".metadata";
            if (entry.is_regular_file()) files[entry.path().lexically_relative(folder).string()] = record ? 0 : entry.file_size();
        }
        return files;
    }
    static std::string partialName(const std::string& name, const std::string& content) {
        return ".cache/modelhub/download/" + name + "." + sha256(content) + ".incomplete";
    }
};

// One file whose announced size is set against the free space (a figure of the test's, or
// the machine's real one), and one that sends more than it announced.
TEST_F(HostileHub, AFileMustFitTheFreeSpaceBeforeItsTransferAndNeverOutgrowsItsSize) {
    const std::string small = makeContent(5000, 1);
    const std::string block = makeContent(64 * 1024, 2);
    struct Case {
        const char* name;
        FakeFile remote;
        size_t partial;                   // bytes of the content already in the partial file
        std::optional<uint64_t> free;     // none: the machine's free space
        std::string outcome;
        std::optional<uint64_t> needed;   // the amount the error names
        int transfers;
        std::map<std::string, uintmax_t> left;  // below the repository folder afterwards
    };
    const Case cases[] = {
        {"10 GB announced and sent without end, 200 MB free",
         {.content = block, .etag = "big", .announcedSize = 10 * GB, .endless = true}, 0, 200'000'000, "notEnoughSpace", 10 * GB + kBeyond, 0, {}},
        {"a petabyte against the machine's real free space",
         {.content = block, .etag = "huge", .announcedSize = 1'000'000 * GB, .endless = true}, 0, std::nullopt, "notEnoughSpace",
         1'000'000 * GB + kBeyond, 0, {}},
        {"takes exactly the free space: refused before its first byte", {.content = small}, 0, 5000, "notEnoughSpace",
         5000 + kBeyond, 0, {}},
        {"would leave 2 MiB free: less than the reserve", {.content = small}, 0, 5000 + 2 * MiB, "notEnoughSpace",
         5000 + kBeyond, 0, {}},
        {"fits with its records and the reserve once the partial file is counted", {.content = small}, 1000, 4000 + kBeyond,
         "completed", {}, 1, {{"f", 5000}, {".cache/modelhub/download/f.metadata", 0}}},
        {"one byte short: the partial file stays for later", {.content = small}, 1000, 3999 + kBeyond, "notEnoughSpace",
         4000 + kBeyond, 0, {{partialName("f", small), 1000}}},
        {"a body that runs past its announced size", {.content = block, .etag = "more", .announcedSize = MiB, .endless = true}, 0,
         std::nullopt, "unexpected", {}, 1, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const HubApi::Repo in{"o/file" + std::to_string(i), HubApi::RepoType::models};
        fake.addFile(in.id, "f", c.remote);
        if (c.partial > 0) writeFile(base.path() / "models" / in.id / partialName("f", c.remote.content), c.remote.content.substr(0, c.partial));
        fake.clearRequests();
        const HubApi api = hub(c.free);

        std::optional<uint64_t> needed;
        const std::string outcome = outcomeOf([&] {
            try {
                file(api, "f", in).download();
            } catch (const StorageError& error) {
                needed = error.needed();
                EXPECT_TRUE(error.available() && *error.available() < *error.needed());
                if (c.free) { EXPECT_EQ(error.available(), c.free); }
                throw;
            }
        });

        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(needed, c.needed);
        EXPECT_EQ(fake.count("GET", "/resolve/"), c.transfers);
        EXPECT_EQ(onDisk(in), c.left);
        if (c.outcome == "completed") { EXPECT_EQ(readFile(base.path() / "models" / in.id / "f"), c.remote.content); }
    }
}

// The disk fills up under the transfer (the partial file is the kernel's always-full
// device): the transfer ends at once, not retried, and the partial file is gone.
TEST_F(HostileHub, ADiskThatFillsUpDuringTheTransferLosesThePartialFile) {
    const std::string content = makeContent(3 * MiB, 3);
    fake.addFile(repo.id, "weights.bin", FakeFile{.content = content});
    const fs::path partial = repoFolder() / partialName("weights.bin", content);
    fs::create_directories(partial.parent_path());
    fs::create_symlink("/dev/full", partial);

    std::optional<uint64_t> needed;
    const std::string outcome = outcomeOf([&] {
        try {
            file(hub(std::nullopt), "weights.bin", repo).download();
        } catch (const StorageError& error) {
            needed = error.needed();
            throw;
        }
    });

    EXPECT_EQ(outcome, "diskFull");
    EXPECT_EQ(needed, uint64_t(content.size()));
    EXPECT_EQ(fake.count("GET", "/resolve/"), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(partial)));
    EXPECT_EQ(onDisk(repo), (std::map<std::string, uintmax_t>{}));
}

// A repository of three files of 4000 bytes: what is still to fetch, less what is cached or
// partly there, with each fetched file's records and the reserve, is held against the free
// space before the first file's transfer. Sizes whose sum no 64 bits hold add up to the
// largest count, never wrap round to a small one.
TEST_F(HostileHub, ASnapshotChecksTheTotalStillToFetchBeforeItsFirstFile) {
    const std::string a = makeContent(4000, 4), b = makeContent(4000, 5), c3 = makeContent(4000, 6);
    struct Case {
        const char* name;
        bool firstCached;
        size_t secondPartial;
        uint64_t free;
        std::string outcome;
        std::optional<uint64_t> needed;
        int transfers;
        int64_t laterAnnounced = -1;  // b and c announce this size instead of their own
    };
    // Each file's records, and the reserve once for the whole.
    const uint64_t all = 12000 + 3 * bexmor::kRecordRoom + bexmor::kSpaceReserve;
    const uint64_t rest = 3000 + 4000 + 2 * bexmor::kRecordRoom + bexmor::kSpaceReserve;
    const Case cases[] = {
        {"all three do not fit", false, 0, all - 1, "notEnoughSpace", all, 0},
        {"all three fit", false, 0, all, "completed", {}, 3},
        {"one cached, one partly there: the rest fits", true, 1000, rest, "completed", {}, 2},
        {"one cached, one partly there: one byte short", true, 1000, rest - 1, "notEnoughSpace", rest, 0},
        {"b and c at the largest size each: a sum past 64 bits stays the largest", false, 0, 1'000'000 * GB, "notEnoughSpace",
         UINT64_MAX, 0, INT64_MAX},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const HubApi::Repo in{"o/snap" + std::to_string(i), HubApi::RepoType::models};
        for (const auto& [name, content] : {std::pair{"a", a}, {"b", b}, {"c", c3}}) {
            fake.addFile(in.id, name, FakeFile{.content = content, .announcedSize = *name == 'a' ? -1 : c.laterAnnounced});
        }
        if (c.firstCached) file(hub(std::nullopt), "a", in).download();
        if (c.secondPartial) writeFile(base.path() / "models" / in.id / partialName("b", b), b.substr(0, c.secondPartial));
        const auto before = onDisk(in);
        fake.clearRequests();

        std::optional<uint64_t> needed;
        const std::string outcome = outcomeOf([&] {
            try {
                hub(c.free).snapshot(in);
            } catch (const StorageError& error) {
                needed = error.needed();
                throw;
            }
        });

        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(needed, c.needed);
        EXPECT_EQ(fake.count("GET", "/resolve/"), c.transfers);
        EXPECT_EQ(fake.count("HEAD"), 3) << "one HEAD per file, also for the files fetched";
        if (c.outcome != "completed") { EXPECT_EQ(onDisk(in), before) << "nothing written"; }
        if (c.outcome == "completed") { EXPECT_EQ(readFile(base.path() / "models" / in.id / "c"), c3); }
    }
}

struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `sh -c script` with `arguments` in a user and mount namespace of its own, where it
// may mount a file system that no one else sees and that goes when it ends.
Finished inOwnMountNamespace(const std::string& script, std::vector<std::string> arguments) {
    const testsupport::TempDir output;
    const std::string out = (output / "out").string(), err = (output / "err").string();
    std::vector<std::string> words{"unshare", "-rm", "sh", "-c", script, "sh"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "unshare", &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    Finished finished;
    int status = 0;
    if (spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) finished.status = WEXITSTATUS(status);
    finished.out = readFile(out);
    finished.err = readFile(err);
    return finished;
}

// A real small file system (a tmpfs in a mount namespace of the download process's own):
// a file that would take exactly its free space, or leave only 2 MiB of it, is refused
// before its first byte and leaves it empty; one that leaves room for its records and
// the reserve is fetched, and the reserve is still free afterwards.
TEST_F(HostileHub, AFileThatWouldFillASmallFileSystemExactlyIsRefusedBeforeItsFirstByte) {
    const testsupport::TempDir probe;
    const Finished mounts = inOwnMountNamespace(R"(mount -t tmpfs -o size=64k tmpfs "$1")", {probe.path().string()});
    if (mounts.status != 0) GTEST_SKIP() << "no user and mount namespaces with tmpfs mounts here: " << mounts.err;

    const uint64_t fileSize = MiB;
    struct Case {
        const char* name;
        uint64_t fileSystemSize;  // a whole number of pages
        int status;
        std::string errorStart;
        int transfers;
        uint64_t freeAfter;  // at least
    };
    const Case cases[] = {
        {"the file takes exactly the free space", fileSize, 1, "Not enough free space", 0, fileSize},
        {"2 MiB would stay free: less than the reserve", fileSize + 2 * MiB, 1, "Not enough free space", 0, fileSize + 2 * MiB},
        {"room for the file, its records and the reserve", fileSize + kBeyond, 0, "", 1, bexmor::kSpaceReserve},
    };
    // The download runs on the new file system, then the free space it left is told.
    const std::string script = R"(mount -t tmpfs -o size="$1" tmpfs "$2" || exit 9
                                  "$3" "$4" "$2" "$5"; status=$?; stat -f -c '%a %S' "$2"; exit $status)";
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string repoId = "o/fill" + std::to_string(i);
        fake.addFile(repoId, "weights.bin", FakeFile{.content = makeContent(fileSize, 9)});
        fake.clearRequests();
        const testsupport::TempDir folder;

        const Finished run = inOwnMountNamespace(script, {std::to_string(c.fileSystemSize), folder.path().string(),
                                                          std::string(testsupport::kBinDir) + "/hub_download_helper",
                                                          fake.endpoint(), repoId});

        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_TRUE(run.err.starts_with(c.errorStart)) << run.err;
        EXPECT_EQ(fake.count("HEAD"), 1);
        EXPECT_EQ(fake.count("GET", "/resolve/"), c.transfers);
        uint64_t blocks = 0, blockSize = 0;
        ASSERT_TRUE(std::istringstream(run.out) >> blocks >> blockSize) << run.out;
        EXPECT_GE(blocks * blockSize, c.freeAfter);
    }
}

// A hub that takes a HEAD request and never answers it, or cuts it off, is out of reach for
// every file: the snapshot ends with that error at the first such HEAD, after one time-out
// (here the minimum pace's window of one second), and no file is asked twice. A file the
// hub refuses, or sends round in redirects, is asked again at its turn, after the files
// before it are fetched.
TEST_F(HostileHub, AHeadWithoutAnAnswerEndsTheSnapshotAtOnce) {
    const FakeFile good{.content = "good"}, silent{.content = "x", .silentHead = true},
        dropped{.content = "x", .droppedHead = true}, refused{.content = "x", .status = 404},
        looped{.content = "x", .loopedHead = true};
    struct Case {
        const char* name;
        std::vector<FakeFile> files;  // a.bin, b.bin, c.bin
        std::string outcome;
        int heads;
        std::vector<std::string> fetched;
    };
    const Case cases[] = {
        {"no HEAD answered", {silent, silent, silent}, "timedOut", 1, {}},
        {"the second HEAD not answered", {good, silent, good}, "timedOut", 2, {}},
        {"the first HEAD cut off", {dropped, good, good}, "connectionLost", 1, {}},
        {"the second file refused", {good, refused, good}, "File not found: b.bin", 4, {"a.bin"}},
        // Eleven HEADs for b.bin each time it is asked.
        {"the second file redirected without end", {good, looped, good}, "tooManyRedirects", 24, {"a.bin"}},
    };
    HubApi api = hub(std::nullopt);
    api.minimumPace = {1024, std::chrono::seconds(1)};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const HubApi::Repo in{"o/head" + std::to_string(i), HubApi::RepoType::models};
        for (size_t k = 0; k < c.files.size(); ++k) fake.addFile(in.id, std::string(1, char('a' + k)) + ".bin", c.files[k]);
        fake.clearRequests();

        EXPECT_EQ(outcomeOf([&] { api.snapshot(in); }), c.outcome);
        EXPECT_EQ(fake.count("HEAD"), c.heads);
        EXPECT_EQ(fake.fileDownloads(in.id), c.fetched);
    }
}

// The record written after a file finds no space (the disk or the user's quota full): the
// file goes with it, so the disk is not left full, and the error is the full disk's. Any
// other failure of the record, or of renewing the record of a file already current, keeps
// the file and its cause.
TEST_F(HostileHub, ARecordThatFindsTheDiskFullTakesItsFileWithIt) {
    const std::string content = makeContent(6000, 8);
    struct Case {
        const char* name;
        int error;
        bool current;  // the file is cached and current by etag: only its record is renewed
        std::string outcome;
    };
    const Case cases[] = {
        {"no space left for the record", ENOSPC, false, "diskFull"},
        {"the quota used up by the record", EDQUOT, false, "diskFull"},
        {"the record refused for another reason", EACCES, false, "fileWriteError"},
        {"no space to renew the record of a current file", ENOSPC, true, "fileWriteError"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const HubApi::Repo in{"o/record" + std::to_string(i), HubApi::RepoType::models};
        fake.addFile(in.id, "f", FakeFile{.content = content});
        const fs::path folder = base.path() / "models" / in.id;
        if (c.current) {
            writeFile(folder / "f", content);
            writeFile(folder / ".cache/modelhub/download/f.metadata", std::string(40, 'd') + "\n" + sha256(content) + "\n1.0\n");
        }
        const auto before = onDisk(in);
        HubApi api = hub(std::nullopt);
        api.writeRecord = [&c](const fs::path&, const std::string&) {
            throw std::system_error(c.error, std::generic_category(), "writing the record");
        };

        std::string outcome;
        try {
            file(api, "f", in).download();
            outcome = "completed";
        } catch (const StorageError& error) {
            outcome = error.kind() == StorageError::Case::diskFull ? "diskFull" : error.what();
            EXPECT_EQ(error.needed(), uint64_t(content.size()));
        } catch (const bexmor::EnvironmentError& error) {
            outcome = error.kind() == bexmor::EnvironmentError::Case::fileWriteError ? "fileWriteError" : error.what();
            EXPECT_EQ(error.code().value(), c.error) << error.what();
        }

        EXPECT_EQ(outcome, c.outcome);
        if (c.outcome == "diskFull") {
            EXPECT_EQ(onDisk(in), (std::map<std::string, uintmax_t>{})) << "neither the file nor its partial file stays";
        } else if (c.current) {
            EXPECT_EQ(onDisk(in), before);
        } else {
            EXPECT_EQ(onDisk(in), (std::map<std::string, uintmax_t>{{"f", content.size()}}));
        }
    }
}

// A size header that names no size (negative, not a number, more than 64 bits hold) ends
// the snapshot at its file's turn with an error of its own; nothing of that file is asked
// for. The largest 64-bit size is a size, and far too big.
TEST_F(HostileHub, AnAnnouncedSizeThatIsNoSizeHasItsOwnError) {
    const std::pair<std::string, std::string> cases[] = {
        {"-5", "invalidSize w.bin \"-5\""},
        {"abc", "invalidSize w.bin \"abc\""},
        {"12abc", "invalidSize w.bin \"12abc\""},
        {"99999999999999999999", "invalidSize w.bin \"99999999999999999999\""},
        {"9223372036854775808", "invalidSize w.bin \"9223372036854775808\""},
        {"9223372036854775807", "notEnoughSpace"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [announced, expected] = cases[i];
        SCOPED_TRACE(announced);
        const HubApi::Repo in{"o/size" + std::to_string(i), HubApi::RepoType::models};
        fake.addFile(in.id, "a.bin", FakeFile{.content = "fine"});
        fake.addFile(in.id, "w.bin", FakeFile{.content = "weights", .sizeText = announced});
        fake.clearRequests();

        EXPECT_EQ(outcomeOf([&] { hub(std::nullopt).snapshot(in); }), expected);
        const bool invalid = expected.starts_with("invalidSize");
        EXPECT_EQ(fake.fileDownloads(in.id), invalid ? std::vector<std::string>{"a.bin"} : std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(base.path() / "models" / in.id / "w.bin"));
    }
}

// Both kinds of "no space left" are a full disk, whichever category carries them; only the
// file system's own codes count.
TEST(StorageErrorKinds, AFullDiskAndAUsedUpQuotaAreOutOfSpace) {
    struct Case {
        std::error_code code;
        bool outOfSpace;
        bool nameTooLong;
    };
    const Case cases[] = {
        {{ENOSPC, std::generic_category()}, true, false},
        {{EDQUOT, std::generic_category()}, true, false},
        {{ENOSPC, std::system_category()}, true, false},
        {{EDQUOT, std::system_category()}, true, false},
        {{ENAMETOOLONG, std::generic_category()}, false, true},
        {{EIO, std::generic_category()}, false, false},
        {{EACCES, std::generic_category()}, false, false},
        {{ENOSPC, std::iostream_category()}, false, false},
        {{}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code.category().name() + std::string(" ") + std::to_string(c.code.value()));
        EXPECT_EQ(StorageError::isOutOfSpace(c.code), c.outOfSpace);
        EXPECT_EQ(StorageError::isNameTooLong(c.code), c.nameTooLong);
    }
}

// A listing is read name by name and refused past the bound, before any file is asked for
// and before the rest of it is read (a broken tail after too many entries is never seen);
// the keys of an entry other than its name are not kept.
TEST_F(HostileHub, AListingOfAnAbsurdNumberOfFilesIsRefusedBeforeAnyFile) {
    const auto listing = [](size_t count, bool objects, const std::string& tail) {
        std::string body = R"({"id":"o/n","cardData":{"siblings":[{"rfilename":"decoy"}]},"siblings":[)";
        for (size_t i = 0; i < count; ++i) {
            const std::string name = "w/" + std::to_string(i) + ".bin";
            body += (i ? "," : "") + (objects ? R"({"rfilename":")" + name + R"(","size":5,"lfs":{"size":5}})" : "\"" + name + "\"");
        }
        return body + tail;
    };
    struct Case {
        const char* name;
        std::string body;
        std::vector<std::string> globs;
        std::string outcome;
        size_t names;
    };
    const size_t bound = HubApi::kMaxListedFiles;
    const Case cases[] = {
        {"at the bound", listing(bound, true, "]}"), {}, "completed", bound},
        {"at the bound, with a glob", listing(bound, true, "]}"), {"w/1*.bin"}, "completed", 1111},
        {"one past the bound", listing(bound + 1, true, "]}"), {}, "listingTooLarge", 0},
        {"one past the bound, with a glob", listing(bound + 1, true, "]}"), {"w/1.bin"}, "listingTooLarge", 0},
        {"past the bound, then broken", listing(bound + 1, true, ",{"), {}, "listingTooLarge", 0},
        {"past the bound in bare strings", listing(bound + 1, false, "]}"), {}, "listingTooLarge", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.setListingBody(repo.id, c.body);
        fake.clearRequests();
        const HubApi api = hub(std::nullopt);
        std::vector<std::string> names;
        EXPECT_EQ(outcomeOf([&] { names = api.getFilenames(repo, "main", c.globs); }), c.outcome);
        EXPECT_EQ(names.size(), c.names);
        if (!names.empty() && c.globs.empty()) { EXPECT_EQ(names.front(), "w/0.bin"); }
        if (c.outcome != "completed") {
            EXPECT_EQ(outcomeOf([&] { api.snapshot(repo, "main", c.globs); }), c.outcome);
            EXPECT_EQ(fake.count("HEAD") + fake.count("GET", "/resolve/"), 0);
        }
    }
}

// With the minimum pace set to 1 KiB/s over one second, a head, a listing or a body that
// comes a byte every 20 ms times out; a body resumes like any dropped connection. A head
// that keeps the pace for longer than the window is no time-out.
TEST_F(HostileHub, ATransferBelowTheMinimumPaceTimesOutAndABodyResumes) {
    HubApi api = hub(std::nullopt);
    api.minimumPace = {1024, std::chrono::seconds(1)};
    const std::string trickledHead = "HTTP/1.1 200 OK\r\nX-Repo-Commit: " + std::string(40, 'c') +
                                     "\r\nX-Linked-Etag: \"e\"\r\nX-Linked-Size: 10\r\nContent-Length: 0\r\n" +
                                     "X-Padding: " + std::string(100, 'p') + "\r\nConnection: close\r\n\r\n";
    testsupport::TestHttpServer slowHead([&](const testsupport::HttpRequest& request, testsupport::HttpResponder& responder) {
        if (request.path != "/steady") return void(responder.trickle(trickledHead, 20));
        // 10 kB/s for 1.5 s: a header line of 1000 bytes every 100 ms.
        responder.writeBody("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n");
        for (int i = 0; i < 15 && responder.writeBody("X-Padding-" + std::to_string(i) + ": " + std::string(1000, 'p') + "\r\n"); ++i) {
            responder.stall(100);
        }
        responder.writeBody("\r\n");
    });
    const std::string content = makeContent(300, 7);
    fake.addFile(repo.id, "slow.bin", FakeFile{.content = content, .trickleMilliseconds = 20, .trickleAfter = 10, .trickleTimes = 1});

    EXPECT_EQ(outcomeOf([&] { api.httpHead(slowHead.baseUrl() + "/o/n/resolve/main/x"); }), "timedOut");
    EXPECT_EQ(outcomeOf([&] { api.httpHead(slowHead.baseUrl() + "/steady"); }), "completed");

    fake.trickleListings(20, 1);
    const auto listing = hubtest::capture<bexmor::HubClientError>([&] { api.getFilenames(repo); });
    EXPECT_EQ(listing.transportCode(), bexmor::UrlError::Code::timedOut) << listing.what();
    EXPECT_EQ(fake.listings(repo.id), 1);

    EXPECT_EQ(outcomeOf([&] { file(api, "slow.bin", repo).download(); }), "completed");
    EXPECT_EQ(fake.fileDownloads(repo.id), (std::vector<std::string>{"slow.bin", "slow.bin"}));
    EXPECT_EQ(readFile(repoFolder() / "slow.bin"), content);
}

// A name the file system cannot hold, whether only its partial file's name (the name with
// the etag and ".incomplete" added) or the name itself is too long.
TEST_F(HostileHub, ANameTooLongForTheFileSystemHasItsOwnError) {
    for (const size_t length : {200, 300}) {
        SCOPED_TRACE(length);
        const HubApi::Repo in{"o/long" + std::to_string(length), HubApi::RepoType::models};
        const std::string name = "sub/" + std::string(length - 4, 'n') + ".bin";
        fake.addFile(in.id, name, FakeFile{.content = "weights"});
        std::string named;
        const std::string outcome = outcomeOf([&] {
            try {
                hub(std::nullopt).snapshot(in);
            } catch (const StorageError& error) {
                named = error.name();
                throw;
            }
        });
        EXPECT_EQ(outcome, "nameTooLong");
        EXPECT_EQ(named, name);
        EXPECT_EQ(onDisk(in), (std::map<std::string, uintmax_t>{}));
    }
}

}  // namespace

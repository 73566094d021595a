// What the hub sends back and what its cache keeps: the input's first line is a status
// and its following lines up to an empty one are the header fields of a HEAD answer;
// the rest is a download's metadata record as found on disk.

#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "ScratchFolder.h"
#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/External/Hub/HubPaths.h"

namespace {

std::filesystem::path folder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    folder = fuzzing::scratchFolder("hub");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    platform::HttpResponse response;
    response.url = "http://127.0.0.1/o/n/resolve/main/file.bin";
    const auto line = [&] {
        const auto end = input.find('\n');
        const std::string_view text = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        return text;
    };
    response.status = 0;
    for (const char c : line()) response.status = (response.status * 10 + (c >= '0' && c <= '9' ? c - '0' : 0)) % 1000;
    for (std::string_view field = line(); !field.empty(); field = line()) {
        const auto colon = field.find(':');
        if (colon == std::string_view::npos) continue;
        response.headers.add(std::string(field.substr(0, colon)), std::string(field.substr(colon + 1)));
    }
    const auto metadata = bexmor::HubApi::fileMetadata(response, response.url);
    // What the file downloader does with the answer before any path is built.
    if (metadata.etag) {
        (void)bexmor::hubpaths::isSafeEtag(*metadata.etag);
        (void)bexmor::hubpaths::isLowerHex(*metadata.etag, 64);
    }

    const auto record = folder / "file.bin.metadata";
    {
        std::ofstream out(record, std::ios::binary | std::ios::trunc);
        out.write(input.data(), std::streamsize(input.size()));
    }
    static const bexmor::HubApi hub(folder, std::string(), "http://127.0.0.1:1", false, true);
    try {
        (void)hub.readDownloadMetadata(record);
    } catch (const bexmor::EnvironmentError&) {
    }
    return 0;
}

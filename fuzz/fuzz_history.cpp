// The history file ("Verlauf.json"): whatever it holds, the store starts with the records
// it can read or, for a file it cannot, moves it aside and starts empty.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "KorvuDarivir/Store/HistoryStore.h"

namespace {

std::filesystem::path folder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/korvu-fuzz-history-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    folder = pattern;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(folder / korvu::HistoryStore::fileName, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    const korvu::HistoryStore store(folder);
    // Dates as the history view shows them: far past, far future, fractions.
    for (const auto& record : store.records()) (void)record.dateTime();
    if (!store.records().isEmpty()) (void)korvu::HistoryStore::timeLabel(store.records().front().dateTime());
    return 0;
}

// The history file ("Verlauf.json"): whatever it holds, the store starts with the records
// it can read or, for a file it cannot, moves it aside and starts empty.

#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "ScratchFolder.h"
#include "KorvuDarivir/Store/HistoryStore.h"

namespace {

std::filesystem::path folder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    folder = fuzzing::scratchFolder("history");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A fresh folder each time: files moved aside by earlier inputs would pile up.
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);
    {
        std::ofstream out(folder / korvu::HistoryStore::fileName, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    const korvu::HistoryStore store(folder);
    // Dates as the history view shows them: far past, far future, fractions.
    for (const auto& record : store.records()) (void)record.dateTime();
    // The label asks ICU for a pattern generator, which costs more than the rest: now and then.
    if (!store.records().isEmpty() && size % 8 == 0)
        (void)korvu::HistoryStore::timeLabel(store.records().front().dateTime());
    return 0;
}

// The application's folders as floors: App -> Windows -> Dictation -> UI -> Store. A file
// includes headers of its own floor and the floors below it, never of one above, so a
// lower floor builds and is tested without the ones that sit on it.
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr std::array<const char*, 5> floors{"App", "Windows", "Dictation", "UI", "Store"};

// The floor's place from the top; floors.size() for a folder that is no floor.
std::size_t level(const std::string& folder)
{
    return std::size_t(std::find(floors.begin(), floors.end(), folder) - floors.begin());
}

TEST(Layout, NoFolderIncludesAFolderAboveIt)
{
    const std::filesystem::path root = std::filesystem::path(testsupport::kSourceDir) / "KorvuDarivir";
    const std::regex include(R"re(^\s*#\s*include\s*"KorvuDarivir/([A-Za-z]+)/)re");
    std::vector<std::string> upward;
    std::size_t files = 0;
    for (const char* folder : floors) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root / folder)) {
            const auto extension = entry.path().extension();
            if (extension != ".h" && extension != ".cpp" && extension != ".in") continue;
            ++files;
            std::ifstream source(entry.path());
            std::string line;
            for (int number = 1; std::getline(source, line); ++number) {
                std::smatch match;
                if (std::regex_search(line, match, include) && level(match[1]) < level(folder)) {
                    upward.push_back(std::filesystem::relative(entry.path(), root).string() + ":" +
                                     std::to_string(number) + " includes " + match[1].str() + "/");
                }
            }
        }
    }
    EXPECT_GT(files, 100u) << "the source tree was not found at " << root;
    EXPECT_EQ(upward, std::vector<std::string>());
}

}  // namespace

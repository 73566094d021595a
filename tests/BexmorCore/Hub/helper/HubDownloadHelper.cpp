// A download process for the hub suite: snapshots one repository and exits 0 on success,
// 1 with the error on standard error. The suite kills it mid-file to show that the next
// run resumes where the flushed bytes end.
#include <iostream>

#include "BexmorCore/External/Hub/HubApi.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: hub_download_helper ENDPOINT DOWNLOAD_BASE REPO_ID\n";
        return 2;
    }
    try {
        const bexmor::HubApi hub{std::filesystem::path(argv[2]), std::string(), std::string(argv[1]), false, false};
        hub.snapshot({argv[3], bexmor::HubApi::RepoType::models});
        return 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
}

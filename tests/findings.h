// The saved inputs a fuzzer broke on, as the test suite replays them: a folder of files and an INDEX that
// says, a line each ("FILE: what it triggered"), what each one triggered.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

struct Finding {
    std::string name, what; // what: the file's INDEX line, empty if it has none
    std::vector<std::uint8_t> bytes;
};

// Every file in `dir` but INDEX, with its INDEX line.
inline std::vector<Finding> readFindings(const std::filesystem::path& dir) {
    std::map<std::string, std::string> index;
    std::ifstream lines(dir / "INDEX");
    for (std::string line; std::getline(lines, line);)
        if (const auto colon = line.find(':'); !line.empty() && line[0] != '#' && colon != std::string::npos)
            index[line.substr(0, colon)] = line.substr(colon + 1);
    std::vector<Finding> findings;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name == "INDEX") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        findings.push_back(
            {name, index[name], {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}});
    }
    return findings;
}

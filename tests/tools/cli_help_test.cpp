// --help and --version of quorvel-ftp-cli: the help's command lines agree with
// what each command accepts, the program prints them, and the README's
// command-line section says the same.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quorvel_version.h"
#include "support/cli_runner.h"
#include "tools/cli_commands.h"

namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

std::string Trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The "  left   right" lines under each "Heading:" of the help text.
std::map<std::string, Rows> HelpSections(const std::string& help) {
    std::map<std::string, Rows> sections;
    std::string current;
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != ' ' && line.back() == ':') {
            current = line.substr(0, line.size() - 1);
        } else if (!current.empty() && line.rfind("  ", 0) == 0) {
            const std::size_t gap = line.find("  ", 2);
            if (gap == std::string::npos) {
                sections[current].emplace_back(Trim(line), "");
            } else {
                sections[current].emplace_back(Trim(line.substr(0, gap)), Trim(line.substr(gap)));
            }
        }
    }
    return sections;
}

// Table rows "| left | right |" of the README section that starts with the
// heading, code marks removed; header and rule rows left out.
Rows ReadmeTableRows(const std::string& heading) {
    std::ifstream in(std::string(QFTP_SOURCE_DIR) + "/README.md");
    Rows rows;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## ", 0) == 0) inside = line == heading;
        if (!inside || line.rfind("| ", 0) != 0 || line.rfind("|---", 0) == 0) continue;
        std::string cells;
        for (char c : line)
            if (c != '`') cells += c;
        const std::size_t middle = cells.find(" | ");
        if (middle == std::string::npos) continue;
        std::string left = Trim(cells.substr(1, middle - 1));
        std::string right = Trim(cells.substr(middle + 3, cells.rfind('|') - middle - 3));
        rows.emplace_back(std::move(left), std::move(right));
    }
    return rows;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

TEST(CliHelp, EachCommandLineMatchesWhatTheCommandAccepts) {
    const Rows commands = HelpSections(cli::HelpText())["Commands"];
    std::vector<std::string> names;
    for (const auto& [synopsis, summary] : commands) {
        SCOPED_TRACE(synopsis);
        EXPECT_FALSE(summary.empty()) << "every command needs a one-line summary";
        const std::vector<std::string> words = Words(synopsis);
        ASSERT_FALSE(words.empty());
        names.push_back(words[0]);
        std::vector<std::string> required{words[0]};
        std::vector<std::string> all{words[0]};
        for (std::size_t i = 1; i < words.size(); ++i) {
            // An optional flag with a value, "[-j N]": the flag and a small number.
            if (words[i].size() > 2 && words[i].rfind("[-", 0) == 0 && words[i].back() != ']' &&
                i + 1 < words.size() && words[i + 1].back() == ']') {
                all.push_back(words[i].substr(1));
                all.emplace_back("2");
                ++i;
                continue;
            }
            const bool optional = words[i].front() == '[';
            // An optional flag such as "[-r]" is written as the flag itself.
            const bool flag = optional && words[i].size() > 2 && words[i][1] == '-';
            if (!optional) required.emplace_back("x");
            all.emplace_back(flag ? words[i].substr(1, words[i].size() - 2) : "x");
        }
        EXPECT_TRUE(cli::IsKnownCommand(required));
        EXPECT_TRUE(cli::IsKnownCommand(all));
        std::vector<std::string> tooMany = all;
        tooMany.emplace_back("x");
        EXPECT_FALSE(cli::IsKnownCommand(tooMany));
        if (required.size() > 1) {
            std::vector<std::string> tooFew(required.begin(), required.end() - 1);
            EXPECT_FALSE(cli::IsKnownCommand(tooFew));
        }
    }
    for (const char* name : {"pwd", "cd", "ls", "mkdir", "rename", "del", "rmdir", "get", "put"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
}

TEST(CliHelp, TheReadmeSaysWhatTheHelpSays) {
    const std::map<std::string, Rows> help = HelpSections(cli::HelpText());
    const Rows readme = ReadmeTableRows("## Command-line tool");
    std::map<std::string, std::string> readmeRows(readme.begin(), readme.end());
    std::size_t helpRows = 0;
    for (const char* section : {"Options", "Commands", "Exit status"}) {
        ASSERT_TRUE(help.count(section)) << section;
        for (const auto& [left, right] : help.at(section)) {
            ++helpRows;
            auto it = readmeRows.find(left);
            if (it == readmeRows.end()) {
                ADD_FAILURE() << "README lacks " << left;
            } else {
                EXPECT_EQ(it->second, right) << left;
            }
        }
    }
    // Less the three header rows ("option", "command", "exit status").
    EXPECT_EQ(readme.size(), helpRows + 3) << "the README lists something --help does not";
}

TEST(CliHelp, HelpAndVersionPrintAndExitWithoutConnecting) {
    const std::string version = std::string("quorvel-ftp-cli ") + quorvel::kVersion + "\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"--help"}, cli::HelpText()},
        {{"-h"}, cli::HelpText()},
        {{"-u", "me", "--help", "192.0.2.1"}, cli::HelpText()},
        {{"--version"}, version},
        {{"--version", "192.0.2.1"}, version},
    };
    for (const Case& c : cases) {
        const testsupport::ProcessResult result = testsupport::RunCli(c.args);
        ASSERT_TRUE(result.ExitedWith(0)) << c.args[0] << ": " << result.Summary();
        EXPECT_EQ(result.out, c.out) << c.args[0];
        EXPECT_EQ(result.err, "") << c.args[0];
    }
}

TEST(CliHelp, AnUnknownOptionIsAUsageErrorThatPointsToHelp) {
    const testsupport::ProcessResult result = testsupport::RunCli({"--frobnicate", "192.0.2.1"});
    ASSERT_TRUE(result.ExitedWith(2)) << result.Summary();
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
}

}  // namespace

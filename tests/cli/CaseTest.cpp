// Runs the built quorvane-cli over the cases in cases/*.case: a first comment
// line stating the purpose, then one directive per line. Inputs:
//   book NAME [value=V] [link=SOURCE]... [unlisted=SOURCE]... [name=NAME]
//        one formula cell per link (A1, B1, ...) caching V (default 42), then a
//        plain 7; an unlisted link's part is left out of the list
//   python SCRIPT  cases/SCRIPT run in the folder (exit 77: a module is missing;
//        skipped unless QUORVANE_REQUIRE_SCRIPT_WRITERS is set)
//   file NAME TEXT... | ole NAME (OLE signature) | symlink NAME TARGET | fifo NAME
// Runs, in the case's folder: run ARGS...
// Expectations ({dir}: the case folder):
//   exit N | line TEXT (a whole stdout line) | stderr TEXT (substring) | json POINTER = VALUE
//   same NAME... (bytes as before) | backup NAME [N] (N whole copies, one the original)
//   links NAME N (externalLink parts left) | part NAME PART TEXT (PART holds TEXT)

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "support/Process.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::tests {
namespace {

void BuildBook(const fs::path& path, const std::vector<std::string>& options) {
  testing::WorkbookBuilder book;
  std::string value = "42", cells;  // value= comes before the links
  int links = 0;
  const auto column = [&] { return "<c r=\"" + std::string(1, static_cast<char>('A' + links)) + "1\">"; };
  for (const auto& option : options) {
    const auto eq = option.find('=');
    const std::string key = option.substr(0, eq), val = option.substr(eq + 1);
    if (key == "link") {
      book.AddBookLink({val, {"Sheet1"}, "<sheetData sheetId=\"0\"><row r=\"1\"><cell r=\"A1\"><v>" + value +
                                             "</v></cell></row></sheetData>"});
      cells += column();
      cells += "<f>[" + std::to_string(++links) + "]Sheet1!A1</f><v>" + value + "</v></c>";
    } else if (key == "unlisted") {
      testing::BookLink link{val, {}, {}};
      link.listed = false;
      book.AddBookLink(link);
    } else if (key == "name") {
      book.AddName(val, "[1]Sheet1!$A$1");
    } else if (key == "value") {
      value = val;
    } else {
      throw std::runtime_error("unknown book option " + option);
    }
  }
  book.AddSheet("Sheet1", "<row r=\"1\">" + cells + column() + "<v>7</v></c></row>");
  book.Write(path);
}

class CliCase : public ::testing::TestWithParam<std::string> {};

TEST_P(CliCase, Run) {
  const ScratchDir root("cli-case");
  const fs::path dir = root / "work";
  fs::create_directory(dir);
  const std::string dirText = fs::canonical(dir).string();
  const auto expand = [&](std::string text) {
    while (text.find("{dir}") != std::string::npos) text.replace(text.find("{dir}"), 5, dirText);
    return text;
  };
  const std::set<std::string> inputs{"book", "file", "ole", "symlink", "fifo", "python"};
  std::map<fs::path, std::string> before;  // the inputs' bytes
  ChildResult outcome;
  std::ifstream in(fs::path(QUORVANE_CLI_CASES) / (GetParam() + ".case"));
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.empty() || text.starts_with("#")) continue;
    SCOPED_TRACE("line " + std::to_string(number) + ": " + text);
    std::istringstream words(text);
    std::string verb;
    std::vector<std::string> args;
    words >> verb;
    for (std::string word; words >> word;) args.push_back(word);
    const std::string rest = text.substr(std::min(text.size(), verb.size() + 1));  // verbatim
    const fs::path path = args.empty() ? dir : dir / args[0];
    if (verb == "book") {
      BuildBook(path, {args.begin() + 1, args.end()});
    } else if (verb == "file") {
      WriteBytes(path, rest.substr(args.at(0).size()) + "\n");
    } else if (verb == "ole") {
      WriteBytes(path, std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(4088, '\0'));
    } else if (verb == "fifo") {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    } else if (verb == "symlink") {
      fs::create_symlink(args.at(1), path);
    } else if (verb == "python") {
      const fs::path script = fs::path(QUORVANE_CLI_CASES) / args.at(0);
      const ChildResult made = RunProgram({"/usr/bin/python3", script.string()}, root.Path(), {.cwd = dir});
      if (made.exit == 77 && !std::getenv("QUORVANE_REQUIRE_SCRIPT_WRITERS")) GTEST_SKIP() << "no openpyxl";
      ASSERT_EQ(made.exit, 0) << "(77: python3-openpyxl missing) " << made.err;
    } else if (verb == "run") {
      args.insert(args.begin(), QUORVANE_CLI);
      outcome = RunProgram(args, root.Path(), {.cwd = dir});
      EXPECT_EQ(outcome.err.find("terminate"), std::string::npos) << outcome.err;
    } else if (verb == "exit") {
      EXPECT_EQ(outcome.exit, std::stoi(args.at(0))) << outcome.out << outcome.err;
    } else if (verb == "line") {
      EXPECT_NE(("\n" + outcome.out).find("\n" + expand(rest) + "\n"), std::string::npos) << outcome.out;
    } else if (verb == "stderr") {
      EXPECT_NE(outcome.err.find(rest), std::string::npos) << "stderr was:\n" << outcome.err;
    } else if (verb == "json") {
      const auto eq = rest.find(" = ");
      const auto value = nlohmann::json::parse(outcome.out).at(nlohmann::json::json_pointer(rest.substr(0, eq)));
      EXPECT_EQ(value.is_string() ? value.get<std::string>() : value.dump(), expand(rest.substr(eq + 3)))
          << outcome.out;
    } else if (verb == "same") {
      for (const auto& name : args) EXPECT_EQ(ReadBytes(dir / name), before.at(dir / name)) << name;
    } else if (verb == "backup") {
      // "dep Backup <stamp>[ (n)].xlsx" beside "dep.xlsx": each a whole
      // package, one the workbook as it was before the run (later ones may
      // copy an already changed one).
      std::vector<std::string> backups;
      for (const auto& entry : fs::directory_iterator(path.parent_path())) {
        const fs::path& name = entry.path();
        if (name.stem().string().starts_with(path.stem().string() + " Backup ") && name.extension() == path.extension()) {
          EXPECT_NO_THROW(testing::ReadPackage(name)) << name << " is not a complete copy";
          backups.push_back(ReadBytes(name));
        }
      }
      EXPECT_EQ(backups.size(), args.size() > 1 ? std::stoul(args.at(1)) : 1u);
      EXPECT_TRUE(backups.empty() || std::count(backups.begin(), backups.end(), before.at(path)) > 0)
          << "no backup holds the original bytes";
    } else if (verb == "links") {
      const auto entries = testing::PackageEntries(path);
      const auto isLink = [](const std::string& e) { return e.starts_with("xl/externalLinks/externalLink"); };
      EXPECT_EQ(std::count_if(entries.begin(), entries.end(), isLink), std::stol(args.at(1)));
    } else if (verb == "part") {
      const std::string part = testing::ReadPackage(path).at(args.at(1));
      EXPECT_NE(part.find(rest.substr(args.at(0).size() + args.at(1).size() + 2)), std::string::npos) << part;
    } else {
      FAIL() << "unknown directive";
    }
    if (inputs.contains(verb) && fs::is_regular_file(path)) before[path] = ReadBytes(path);
  }
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(QUORVANE_CLI_CASES))
    if (entry.path().extension() == ".case") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Cases, CliCase, ::testing::ValuesIn(CaseNames()), [](const auto& p) { return p.param; });

}  // namespace
}  // namespace quorvane::tests

// Runs the built quorvane-cli over the cases in cases/*.case: a first comment
// line stating the purpose, then one directive per line. Inputs:
//   book NAME [link=SOURCE]... [unlisted=SOURCE]... [name=NAME] [value=V]
//        one formula cell per link (A1, B1, ...) caching V (default 42), then a
//        plain 7; an unlisted link's part is left out of the list
//   python SCRIPT  cases/SCRIPT run in the folder (exit 77: a module is missing;
//        skipped unless QUORVANE_REQUIRE_SCRIPT_WRITERS is set)
//   file NAME TEXT... | ole NAME (OLE signature) | symlink NAME TARGET | fifo NAME
// Runs, in the case's folder: run ARGS... | jobs-agree ARGS... (the same on a
// fresh copy of the inputs prints exactly what the last run printed).
// Expectations ({dir}: the case folder):
//   exit N | line TEXT (a whole stdout line) | stderr TEXT (substring) | json POINTER = VALUE
//   same NAME (bytes as before) | backup NAME [N] (N whole copies, one the original)
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

using nlohmann::json;

struct Directive {
  int line = 0;
  std::string verb{}, rest{};  // rest: everything after the verb and one blank, verbatim
  std::vector<std::string> args{};
};

std::vector<Directive> ReadCase(const fs::path& path, std::string& purpose) {
  std::ifstream in(path);
  std::vector<Directive> directives;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.empty() || text[0] == '#') {
      if (purpose.empty() && !text.empty()) purpose = text.substr(1);
      continue;
    }
    Directive d{.line = number};
    std::istringstream words(text);
    words >> d.verb;
    d.rest = text.size() > d.verb.size() + 1 ? text.substr(d.verb.size() + 1) : "";
    for (std::string word; words >> word;) d.args.push_back(word);
    directives.push_back(std::move(d));
  }
  return directives;
}

void BuildBook(const fs::path& path, const std::vector<std::string>& args) {
  std::vector<std::string> sources, unlisted, names;
  std::string value = "42";
  for (const auto& arg : args) {
    const auto eq = arg.find('=');
    const std::string key = arg.substr(0, eq), val = arg.substr(eq + 1);
    if (key == "link") sources.push_back(val);
    else if (key == "unlisted") unlisted.push_back(val);
    else if (key == "name") names.push_back(val);
    else if (key == "value") value = val;
    else throw std::runtime_error("unknown book option " + arg);
  }
  testing::WorkbookBuilder book;
  std::string row = "<row r=\"1\">";
  for (std::size_t k = 0; k < sources.size(); ++k) {
    book.AddBookLink({sources[k], {"Sheet1"},
                      "<sheetData sheetId=\"0\"><row r=\"1\"><cell r=\"A1\"><v>" + value + "</v></cell></row></sheetData>"});
    row += "<c r=\"" + std::string(1, static_cast<char>('A' + k)) + "1\"><f>[" + std::to_string(k + 1) +
           "]Sheet1!A1</f><v>" + value + "</v></c>";
  }
  for (const auto& target : unlisted) {
    testing::BookLink link{target, {}, {}};
    link.listed = false;
    book.AddBookLink(link);
  }
  row += "<c r=\"" + std::string(1, static_cast<char>('A' + sources.size())) + "1\"><v>7</v></c></row>";
  book.AddSheet("Sheet1", row);
  for (const auto& name : names) book.AddName(name, "[1]Sheet1!$A$1");
  fs::create_directories(path.parent_path());
  book.Write(path);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
  return text;
}

const std::set<std::string> kInputs{"book", "file", "ole", "symlink", "fifo", "python"};

class CliCase : public ::testing::TestWithParam<std::string> {
 protected:
  // Makes the inputs in a new folder; remembers their bytes.
  fs::path Prepare(const std::vector<Directive>& directives, const std::string& folderName) {
    const fs::path dir = root_ / folderName;
    fs::create_directories(dir);
    for (const auto& d : directives) {
      const fs::path path = d.args.empty() ? dir : dir / d.args[0];
      if (d.verb == "book") {
        BuildBook(path, {d.args.begin() + 1, d.args.end()});
      } else if (d.verb == "file") {
        WriteBytes(path, d.rest.substr(d.args[0].size()) + "\n");
      } else if (d.verb == "ole") {
        WriteBytes(path, std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(4088, '\0'));
      } else if (d.verb == "fifo") {
        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
      } else if (d.verb == "symlink") {
        fs::create_symlink(d.args.at(1), path);
      } else if (d.verb == "python") {
        const fs::path script = fs::path(QUORVANE_CLI_CASES) / d.args.at(0);
        const ChildResult made = RunProgram({"/usr/bin/python3", script.string()}, root_.Path(), {.cwd = dir});
        skip_ = made.exit == 77;
        if (!skip_ && made.exit != 0) throw std::runtime_error("python " + d.rest + " failed: " + made.err);
      }
      if (d.verb != "python" && d.verb != "fifo" && fs::is_regular_file(path)) before_[path.string()] = ReadBytes(path);
    }
    return dir;
  }

  ChildResult Cli(const fs::path& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{QUORVANE_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, root_.Path(), {.cwd = dir});
  }

  ScratchDir root_{"cli-case"};
  std::map<std::string, std::string> before_;
  bool skip_ = false;
};

TEST_P(CliCase, Run) {
  std::string purpose;
  const auto directives = ReadCase(fs::path(QUORVANE_CLI_CASES) / (GetParam() + ".case"), purpose);
  SCOPED_TRACE(purpose);
  const fs::path dir = Prepare(directives, "work");
  if (skip_ && std::getenv("QUORVANE_REQUIRE_SCRIPT_WRITERS")) FAIL() << "python3-openpyxl missing";
  if (skip_) GTEST_SKIP() << "python3-openpyxl missing";
  const std::string dirText = fs::canonical(dir).string();
  ChildResult outcome;
  const auto report = [&](const std::string& pointer) { return json::parse(outcome.out).at(json::json_pointer(pointer)); };
  for (const auto& d : directives) {
    SCOPED_TRACE("line " + std::to_string(d.line) + ": " + d.verb + " " + d.rest);
    const auto at = [&](std::size_t k) { return d.args.at(k); };
    const auto path = [&](std::size_t k) { return dir / d.args.at(k); };
    if (d.verb == "run") {
      outcome = Cli(dir, d.args);
      EXPECT_EQ(outcome.err.find("terminate"), std::string::npos) << outcome.err;
    } else if (d.verb == "jobs-agree") {
      const fs::path again = Prepare(directives, "again");
      const ChildResult other = Cli(again, d.args);
      EXPECT_EQ(other.exit, outcome.exit);
      EXPECT_EQ(Replace(other.out, fs::canonical(again).string(), dirText), outcome.out);
    } else if (kInputs.count(d.verb)) {
      continue;
    } else if (d.verb == "exit") {
      EXPECT_EQ(outcome.exit, std::stoi(at(0))) << outcome.out << outcome.err;
    } else if (d.verb == "line") {
      EXPECT_NE(("\n" + outcome.out).find("\n" + Replace(d.rest, "{dir}", dirText) + "\n"), std::string::npos)
          << "stdout was:\n" << outcome.out;
    } else if (d.verb == "stderr") {
      EXPECT_NE(outcome.err.find(d.rest), std::string::npos) << "stderr was:\n" << outcome.err;
    } else if (d.verb == "json") {
      const auto eq = d.rest.find(" = ");
      const json value = report(d.rest.substr(0, eq));
      EXPECT_EQ(value.is_string() ? value.get<std::string>() : value.dump(),
                Replace(d.rest.substr(eq + 3), "{dir}", dirText)) << outcome.out;
    } else if (d.verb == "same") {
      EXPECT_EQ(ReadBytes(path(0)), before_.at(path(0).string())) << at(0) << " was changed";
    } else if (d.verb == "backup") {
      // "dep Backup <stamp>[ (n)].xlsx" beside "dep.xlsx": each a whole
      // package, one the workbook as it was before the run (later ones may
      // copy an already changed one).
      std::vector<std::string> backups;
      for (const auto& entry : fs::directory_iterator(path(0).parent_path())) {
        const fs::path& name = entry.path();
        if (name.stem().string().starts_with(path(0).stem().string() + " Backup ") && name.extension() == path(0).extension()) {
          EXPECT_NO_THROW(testing::ReadPackage(name)) << name << " is not a complete copy";
          backups.push_back(ReadBytes(name));
        }
      }
      EXPECT_EQ(backups.size(), d.args.size() > 1 ? std::stoul(at(1)) : 1u);
      EXPECT_TRUE(backups.empty() || std::count(backups.begin(), backups.end(), before_.at(path(0).string())) > 0)
          << "no backup holds the original bytes";
    } else if (d.verb == "links") {
      const auto entries = testing::PackageEntries(path(0));
      const auto isLink = [](const std::string& e) { return e.starts_with("xl/externalLinks/externalLink"); };
      EXPECT_EQ(std::count_if(entries.begin(), entries.end(), isLink), std::stol(at(1)));
    } else if (d.verb == "part") {
      const std::string part = testing::ReadPackage(path(0)).at(at(1));
      EXPECT_NE(part.find(d.rest.substr(at(0).size() + at(1).size() + 2)), std::string::npos) << part;
    } else {
      FAIL() << "unknown directive";
    }
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

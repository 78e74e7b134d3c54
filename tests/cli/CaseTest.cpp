// Runs the built quorvane-cli over the declarative cases in cases/*.case.
//
// A case is a text file: a first comment line stating its purpose, then one
// directive per line. Before the run:
//   book NAME [link=SOURCE]... [unlisted=SOURCE]... [name=NAME] [value=V]
//        a workbook built now; each link gives one formula cell (A1, B1, ...)
//        caching V (default 42); an unlisted link's part is left out of the list
//   python SCRIPT ARGS...   cases/SCRIPT run by Debian's python3 in the folder
//        (exit 77: a module is missing, the case is skipped unless
//        QUORVANE_REQUIRE_SCRIPT_WRITERS is set)
//   file NAME TEXT...    a plain file          ole NAME   a fake .xls (OLE signature)
//   dir NAME             a folder              symlink NAME TARGET     fifo NAME
// The run (working folder = the case's folder):
//   run ARGS...          jobs-agree ARGS...  (the same run again on a fresh
//                        copy of the inputs must print exactly the same)
// Expectations:
//   exit N | line TEXT (a whole stdout line) | no-line TEXT | stderr TEXT (substring)
//   json PATH = VALUE | json-has PATH TEXT | json-size PATH N  ({dir}: the case folder)
//   same NAME (bytes as before) | backup NAME [N] (N whole copies beside it, one the original)
//   links NAME N (externalLink parts left) | value NAME CELL V (value kept, formula gone)
//   is-symlink NAME

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Json.h"
#include "Process.h"
#include "support/WorkbookBuilder.h"

namespace fs = std::filesystem;
using quorvane::testing::Json;

namespace {

struct Directive {
  int line = 0;
  std::string verb;
  std::vector<std::string> args;
  std::string rest;  // everything after the verb, verbatim
};

struct Case {
  std::string purpose;
  std::vector<Directive> directives;
};

Case ReadCase(const fs::path& path) {
  std::ifstream in(path);
  Case result;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.empty()) continue;
    if (text[0] == '#') {
      if (result.purpose.empty()) result.purpose = text.substr(1);
      continue;
    }
    Directive directive;
    directive.line = number;
    std::istringstream words(text);
    words >> directive.verb;
    // One blank separates the verb; any further ones belong to the text.
    directive.rest = text.size() > directive.verb.size() + 1 ? text.substr(directive.verb.size() + 1) : "";
    for (std::string word; words >> word;) directive.args.push_back(word);
    result.directives.push_back(std::move(directive));
  }
  return result;
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(QUORVANE_CLI_CASES))
    if (entry.path().extension() == ".case") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ColumnName(std::size_t k) { return std::string(1, static_cast<char>('A' + k)); }

void BuildBook(const fs::path& path, const std::vector<std::string>& args) {
  std::vector<std::string> sources;
  std::vector<std::string> names, unlisted;
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
  quorvane::testing::WorkbookBuilder book;
  std::string row = "<row r=\"1\">";
  for (std::size_t k = 0; k < sources.size(); ++k) {
    quorvane::testing::BookLink link;
    link.target = sources[k];
    link.sheetNames = {"Sheet1"};
    link.sheetDataSet = "<sheetData sheetId=\"0\"><row r=\"1\"><cell r=\"A1\"><v>" + value + "</v></cell></row></sheetData>";
    book.AddBookLink(link);
    row += "<c r=\"" + ColumnName(k) + "1\"><f>[" + std::to_string(k + 1) + "]Sheet1!A1</f><v>" + value + "</v></c>";
  }
  for (const auto& target : unlisted) {
    quorvane::testing::BookLink link;
    link.target = target;
    link.listed = false;
    book.AddBookLink(link);
  }
  row += "<c r=\"" + ColumnName(sources.size()) + "1\"><v>7</v></c></row>";
  book.AddSheet("Sheet1", row);
  for (const auto& name : names) book.AddName(name, "[1]Sheet1!$A$1");
  fs::create_directories(path.parent_path());
  book.Write(path);
}

using Outcome = quorvane::testing::ProcessOutcome;

std::string Slurp(const fs::path& path) { return quorvane::testing::ReadFileBytes(path); }

// Runs the CLI in `folder`, its output captured in files beside the folder.
Outcome RunCli(const fs::path& folder, const std::vector<std::string>& args) {
  std::vector<std::string> argv{QUORVANE_CLI};
  argv.insert(argv.end(), args.begin(), args.end());
  return quorvane::testing::RunProcess(argv, folder, folder);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Backups of `name` ("dep.xlsx" -> "dep Backup <stamp>[ (n)].xlsx") beside it.
std::vector<fs::path> BackupsOf(const fs::path& workbook) {
  const std::string stem = workbook.stem().string() + " Backup ";
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(workbook.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(stem, 0) == 0 && entry.path().extension() == workbook.extension()) found.push_back(entry.path());
  }
  return found;
}

// The <c> element of `cell` in the first worksheet.
std::string CellXml(const fs::path& workbook, const std::string& cell) {
  const auto parts = quorvane::testing::ReadPackage(workbook);
  const std::string& sheet = parts.at("xl/worksheets/sheet1.xml");
  const auto start = sheet.find("<c r=\"" + cell + "\"");
  if (start == std::string::npos) return {};
  const auto selfClosed = sheet.find("/>", start), closed = sheet.find("</c>", start);
  const auto end = std::min(selfClosed == std::string::npos ? sheet.size() : selfClosed + 2,
                            closed == std::string::npos ? sheet.size() : closed + 4);
  return sheet.substr(start, end - start);
}

class CliCase : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quorvane-cli-case-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // Makes the inputs in a new folder; remembers their bytes.
  fs::path Prepare(const Case& c, const std::string& folderName) {
    const fs::path dir = root_ / folderName;
    fs::create_directories(dir);
    for (const auto& d : c.directives) {
      if (d.verb == "book") {
        BuildBook(dir / d.args.at(0), {d.args.begin() + 1, d.args.end()});
      } else if (d.verb == "file") {
        WriteFile(dir / d.args.at(0), d.rest.substr(d.args.at(0).size()) + "\n");
      } else if (d.verb == "ole") {
        std::string bytes("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
        bytes.resize(4096, '\0');
        WriteFile(dir / d.args.at(0), bytes);
      } else if (d.verb == "dir") {
        fs::create_directories(dir / d.args.at(0));
      } else if (d.verb == "fifo") {
        if (::mkfifo((dir / d.args.at(0)).c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        continue;
      } else if (d.verb == "python") {
        std::vector<std::string> argv{"/usr/bin/python3", (fs::path(QUORVANE_CLI_CASES) / d.args.at(0)).string()};
        argv.insert(argv.end(), d.args.begin() + 1, d.args.end());
        const Outcome made = quorvane::testing::RunProcess(argv, dir, root_ / "python");
        skip_ = made.exit == 77;
        if (!skip_ && made.exit != 0) throw std::runtime_error("python " + d.rest + " failed: " + made.err);
        continue;
      } else if (d.verb == "symlink") {
        fs::create_directories((dir / d.args.at(0)).parent_path());
        fs::create_symlink(d.args.at(1), dir / d.args.at(0));
      } else {
        continue;
      }
      if (fs::is_regular_file(dir / d.args.at(0))) before_[(dir / d.args.at(0)).string()] = Slurp(dir / d.args.at(0));
    }
    return dir;
  }

  fs::path root_;
  std::map<std::string, std::string> before_;
  bool skip_ = false;
};

TEST_P(CliCase, Run) {
  const Case c = ReadCase(fs::path(QUORVANE_CLI_CASES) / (GetParam() + ".case"));
  SCOPED_TRACE(c.purpose);
  const fs::path dir = Prepare(c, "work");
  if (skip_) {
    if (std::getenv("QUORVANE_REQUIRE_SCRIPT_WRITERS")) FAIL() << "python3-openpyxl or python3-xlsxwriter missing";
    GTEST_SKIP() << "python3-openpyxl or python3-xlsxwriter missing";
  }
  const std::string dirText = fs::canonical(dir).string();

  Outcome outcome;
  std::optional<Json> json;
  const auto parsedJson = [&]() -> const Json& {
    if (!json) json = Json::Parse(outcome.out);
    return *json;
  };
  bool ran = false;
  for (const auto& d : c.directives) {
    SCOPED_TRACE("line " + std::to_string(d.line) + ": " + d.verb + " " + d.rest);
    const auto at = [&](std::size_t k) { return d.args.at(k); };
    if (d.verb == "run") {
      outcome = RunCli(dir, d.args);
      json.reset();
      ran = true;
      SCOPED_TRACE("stdout:\n" + outcome.out + "stderr:\n" + outcome.err);
      EXPECT_EQ(outcome.err.find("terminate"), std::string::npos);
    } else if (d.verb == "jobs-agree") {
      const fs::path again = Prepare(c, "again");
      const Outcome other = RunCli(again, d.args);
      EXPECT_EQ(other.exit, outcome.exit);
      EXPECT_EQ(Replace(other.out, fs::canonical(again).string(), dirText), outcome.out);
    } else if (!ran && (d.verb == "exit" || d.verb == "line" || d.verb == "json")) {
      FAIL() << "expectation before run";
    } else if (d.verb == "exit") {
      EXPECT_EQ(outcome.exit, std::stoi(at(0))) << outcome.out << outcome.err;
    } else if (d.verb == "line" || d.verb == "no-line") {
      const auto lines = Lines(outcome.out);
      const std::string want = Replace(d.rest, "{dir}", dirText);
      const bool found = std::find(lines.begin(), lines.end(), want) != lines.end();
      EXPECT_EQ(found, d.verb == "line") << "stdout was:\n" << outcome.out;
    } else if (d.verb == "stderr") {
      EXPECT_NE(outcome.err.find(d.rest), std::string::npos) << "stderr was:\n" << outcome.err;
    } else if (d.verb == "json") {
      ASSERT_NO_THROW(parsedJson()) << outcome.out;
      const auto eq = d.rest.find(" = ");
      const std::string path = d.rest.substr(0, eq);
      const std::string want = Replace(d.rest.substr(eq + 3), "{dir}", dirText);
      try {
        EXPECT_EQ(parsedJson().At(path).Text(), want) << outcome.out;
      } catch (const std::out_of_range&) {
        ADD_FAILURE() << "no " << path << " in\n" << outcome.out;
      }
    } else if (d.verb == "json-has") {
      const auto space = d.rest.find(' ');
      const std::string text = parsedJson().At(d.rest.substr(0, space)).Text();
      EXPECT_NE(text.find(d.rest.substr(space + 1)), std::string::npos) << text;
    } else if (d.verb == "json-size") {
      EXPECT_EQ(parsedJson().At(at(0)).AsArray().size(), std::stoul(at(1))) << outcome.out;
    } else if (d.verb == "same") {
      EXPECT_EQ(Slurp(dir / at(0)), before_.at((dir / at(0)).string())) << at(0) << " was changed";
    } else if (d.verb == "backup") {
      const auto backups = BackupsOf(dir / at(0));
      ASSERT_EQ(backups.size(), d.args.size() > 1 ? std::stoul(at(1)) : 1u);
      // Every backup is a whole package; one of them is the workbook as it
      // was before the run (later ones may copy an already changed one).
      bool original = backups.empty();
      for (const auto& backup : backups) {
        const bool same = Slurp(backup) == before_.at((dir / at(0)).string());
        if (!same) {
          EXPECT_NO_THROW(quorvane::testing::ReadPackage(backup)) << backup << " is not a complete copy";
        }
        original = original || same;
      }
      EXPECT_TRUE(original) << "no backup holds the original bytes";
    } else if (d.verb == "links") {
      const auto entries = quorvane::testing::PackageEntries(dir / at(0));
      const auto left = std::count_if(entries.begin(), entries.end(), [](const std::string& e) {
        return e.rfind("xl/externalLinks/", 0) == 0 && e.find("_rels") == std::string::npos;
      });
      EXPECT_EQ(left, std::stol(at(1)));
    } else if (d.verb == "is-symlink") {
      EXPECT_TRUE(fs::is_symlink(dir / at(0))) << at(0) << " was replaced by a plain file";
    } else if (d.verb == "value") {
      const std::string cell = CellXml(dir / at(0), at(1));
      EXPECT_NE(cell.find("<v>" + at(2) + "</v>"), std::string::npos) << cell;
      EXPECT_EQ(cell.find("<f"), std::string::npos) << cell;
    } else if (d.verb != "book" && d.verb != "file" && d.verb != "ole" && d.verb != "dir" &&
               d.verb != "symlink" && d.verb != "fifo" && d.verb != "python") {
      FAIL() << "unknown directive " << d.verb;
    }
  }
  EXPECT_TRUE(ran) << "the case never runs the program";
}

INSTANTIATE_TEST_SUITE_P(Cases, CliCase, ::testing::ValuesIn(CaseNames()),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                           std::string name = param.param;
                           std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
                           return name;
                         });

}  // namespace

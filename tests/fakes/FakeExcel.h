#pragma once
// A recording stand-in for "Excel.Application": every call lands in one log,
// in order, and any operation can be told to fail. Like Excel, BreakLink
// takes a source off the workbook's list, unless it is one Excel leaves.

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/Excel.h"

namespace quorvane::testing {

class FakeExcel final : public base::ExcelAutomation {
 public:
  std::vector<std::string> log;
  std::map<std::string, std::vector<std::string>> sources;  // by workbook path; none without an entry
  std::set<std::string> keptByBreakLink;                    // sources BreakLink does not take off the list
  base::ExcelAids aids;
  bool running = false;
  // Operation (a log entry up to its first "(", "=" or "#") that throws, for
  // every workbook or only for the one at failPath.
  std::string failOn;
  std::string failPath;
  bool notInstalled = false;  // Create finds no Excel on the machine
  int created = 0;
  int alive = 0;  // instances created and not yet ended

  std::unique_ptr<base::ExcelApplication> GetRunning() override;
  std::unique_ptr<base::ExcelApplication> Create() override;
  base::ExcelAids Aids() override { return aids; }

  void Step(const std::string& entry, const std::string& path = {}) {
    log.push_back(entry);
    const std::string op = entry.substr(0, entry.find_first_of("(=#"));
    if (op == failOn && (failPath.empty() || failPath == path)) throw base::AutomationError(op, "simulated failure");
  }
  std::vector<std::string> Matching(const std::string& prefix) const {
    std::vector<std::string> out;
    std::copy_if(log.begin(), log.end(), std::back_inserter(out), [&](auto& e) { return e.rfind(prefix, 0) == 0; });
    return out;
  }
};

// The Workbooks collection of one instance and the workbook it opened.
class FakeWorkbook final : public base::ExcelWorkbooks, public base::ExcelWorkbook {
 public:
  FakeWorkbook(FakeExcel& excel, std::string& path) : excel_(excel), path_(path) {}
  void Open(const std::string& path) override {
    excel_.Step("Open(" + path + ")", path);
    path_ = path;
  }
  base::LinkSourceList LinkSources(std::int32_t type) override {
    excel_.Step("LinkSources(Type=" + std::to_string(type) + ")", path_);
    const auto it = excel_.sources.find(path_);
    if (it == excel_.sources.end() || it->second.empty()) return std::nullopt;
    return base::SourceArray(it->second, 1);
  }
  void BreakLink(const std::string& name, std::int32_t type) override {
    excel_.Step("BreakLink(name=" + name + ",Type=" + std::to_string(type) + ")", path_);
    if (excel_.keptByBreakLink.count(name)) return;
    auto& list = excel_.sources[path_];
    list.erase(std::remove(list.begin(), list.end(), name), list.end());
  }
  void Save() override { excel_.Step("Save", path_); }
  void Close(bool saveChanges) override { excel_.log.push_back(saveChanges ? "Close(True)" : "Close(False)"); }

 private:
  FakeExcel& excel_;
  std::string& path_;  // the instance's
};

// Number 0 is the running instance, which this tool never ends.
class FakeApplication final : public base::ExcelApplication {
 public:
  FakeApplication(FakeExcel& excel, int number) : excel_(excel), number_(std::to_string(number)) {}
  ~FakeApplication() override { excel_.log.push_back("Release#" + number_); }

  std::string DefaultMember() override { return "Microsoft Excel"; }
  std::unique_ptr<base::ExcelWorkbooks> Workbooks() override {
    excel_.log.push_back("Workbooks");
    return std::make_unique<FakeWorkbook>(excel_, path_);
  }
  void SetAutomationSecurity(std::int32_t v) override { excel_.Step("AutomationSecurity=" + std::to_string(v)); }
  void SetDisplayAlerts(bool v) override { excel_.Step(std::string("DisplayAlerts=") + Word(v), path_); }
  void SetAskToUpdateLinks(bool v) override { excel_.Step(std::string("AskToUpdateLinks=") + Word(v), path_); }
  std::unique_ptr<base::ExcelWorkbook> ActiveWorkbook() override {
    excel_.Step("ActiveWorkbook", path_);
    return std::make_unique<FakeWorkbook>(excel_, path_);
  }
  void Quit() override {
    excel_.Step("Quit#" + number_, path_);
    End();
  }
  void ForceEnd() noexcept override {
    excel_.log.push_back("ForceEnd#" + number_);
    End();
  }

 private:
  static const char* Word(bool value) { return value ? "True" : "False"; }
  void End() {
    if (number_ != "0" && !std::exchange(ended_, true)) --excel_.alive;
  }
  FakeExcel& excel_;
  std::string number_;
  bool ended_ = false;
  std::string path_;  // the workbook opened in this instance
};

inline std::unique_ptr<base::ExcelApplication> FakeExcel::GetRunning() {
  log.push_back("GetRunning");
  if (!running) throw base::AutomationError("GetObject", "no running instance");
  return std::make_unique<FakeApplication>(*this, 0);
}

inline std::unique_ptr<base::ExcelApplication> FakeExcel::Create() {
  if (notInstalled) throw base::NotInstalled("Excel.Application", "Class not registered");
  Step("Create#" + std::to_string(++created));
  ++alive;
  return std::make_unique<FakeApplication>(*this, created);
}

}  // namespace quorvane::testing

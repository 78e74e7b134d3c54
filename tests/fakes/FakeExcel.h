#pragma once
// A recording stand-in for "Excel.Application": every call lands in one log,
// in order, and any operation can be told to fail.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "links/Excel.h"

namespace quorvane::testing {

class FakeExcel final : public links::ExcelAutomation {
 public:
  std::vector<std::string> log;
  // Link sources by workbook path; paths without an entry have no links.
  std::map<std::string, std::vector<std::string>> sources;
  bool running = false;
  std::string runningName = "Microsoft Excel";
  // Operation name (as logged, without arguments) that throws, optionally
  // only for one workbook path.
  std::string failOn;
  std::string failPath;
  int created = 0;
  int alive = 0;  // instances created and not yet ended

  std::unique_ptr<links::ExcelApplication> GetRunning() override;
  std::unique_ptr<links::ExcelApplication> Create() override;

  void Fail(const std::string& op, const std::string& path) {
    if (op == failOn && (failPath.empty() || failPath == path)) throw links::AutomationError(op, "simulated failure");
  }
  // Log entries that start with prefix.
  std::vector<std::string> Matching(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& entry : log)
      if (entry.rfind(prefix, 0) == 0) out.push_back(entry);
    return out;
  }
};

class FakeWorkbook final : public links::ExcelWorkbook {
 public:
  FakeWorkbook(FakeExcel& excel, std::string path) : excel_(excel), path_(std::move(path)) {}
  links::LinkSourceList LinkSources(std::int32_t type) override {
    excel_.log.push_back("LinkSources(Type=" + std::to_string(type) + ")");
    excel_.Fail("LinkSources", path_);
    auto it = excel_.sources.find(path_);
    if (it == excel_.sources.end() || it->second.empty()) return std::nullopt;
    return links::SourceArray(it->second, 1);
  }
  void BreakLink(const std::string& name, std::int32_t type) override {
    excel_.log.push_back("BreakLink(name=" + name + ",Type=" + std::to_string(type) + ")");
    excel_.Fail("BreakLink", path_);
  }
  void Save() override {
    excel_.log.push_back("Save");
    excel_.Fail("Save", path_);
  }
  void Close(bool saveChanges) override {
    excel_.log.push_back(std::string("Close(") + (saveChanges ? "True" : "False") + ")");
  }

 private:
  FakeExcel& excel_;
  std::string path_;
};

class FakeApplication final : public links::ExcelApplication {
 public:
  FakeApplication(FakeExcel& excel, int number, bool created)
      : excel_(excel), number_(number), created_(created) {}
  ~FakeApplication() override { excel_.log.push_back("Release#" + std::to_string(number_)); }

  std::string DefaultMember() override {
    excel_.log.push_back("DefaultMember");
    return excel_.runningName;
  }
  std::unique_ptr<links::ExcelWorkbooks> Workbooks() override;
  void SetDisplayAlerts(bool value) override {
    excel_.log.push_back(std::string("DisplayAlerts=") + (value ? "True" : "False"));
    excel_.Fail("DisplayAlerts", path_);
  }
  void SetAskToUpdateLinks(bool value) override {
    excel_.log.push_back(std::string("AskToUpdateLinks=") + (value ? "True" : "False"));
    excel_.Fail("AskToUpdateLinks", path_);
  }
  std::unique_ptr<links::ExcelWorkbook> ActiveWorkbook() override {
    excel_.log.push_back("ActiveWorkbook");
    excel_.Fail("ActiveWorkbook", path_);
    return std::make_unique<FakeWorkbook>(excel_, path_);
  }
  void Quit() override {
    excel_.log.push_back("Quit#" + std::to_string(number_));
    excel_.Fail("Quit", path_);
    End();
  }
  void ForceEnd() noexcept override {
    excel_.log.push_back("ForceEnd#" + std::to_string(number_));
    End();
  }
  void Opened(const std::string& path) { path_ = path; }

 private:
  void End() {
    if (created_ && !ended_) {
      ended_ = true;
      --excel_.alive;
    }
  }
  FakeExcel& excel_;
  int number_;
  bool created_;
  bool ended_ = false;
  std::string path_;
};

class FakeWorkbooks final : public links::ExcelWorkbooks {
 public:
  FakeWorkbooks(FakeExcel& excel, FakeApplication& app) : excel_(excel), app_(app) {}
  void Open(const std::string& path) override {
    excel_.log.push_back("Open(" + path + ")");
    excel_.Fail("Open", path);
    app_.Opened(path);
  }

 private:
  FakeExcel& excel_;
  FakeApplication& app_;
};

inline std::unique_ptr<links::ExcelWorkbooks> FakeApplication::Workbooks() {
  excel_.log.push_back("Workbooks");
  return std::make_unique<FakeWorkbooks>(excel_, *this);
}

inline std::unique_ptr<links::ExcelApplication> FakeExcel::GetRunning() {
  log.push_back("GetRunning");
  if (!running) throw links::AutomationError("GetObject", "no running instance");
  return std::make_unique<FakeApplication>(*this, 0, false);
}

inline std::unique_ptr<links::ExcelApplication> FakeExcel::Create() {
  const int number = ++created;
  log.push_back("Create#" + std::to_string(number));
  Fail("Create", "");
  ++alive;
  return std::make_unique<FakeApplication>(*this, number, true);
}

}  // namespace quorvane::testing

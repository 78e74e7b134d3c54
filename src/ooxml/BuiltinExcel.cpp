#include "ooxml/BuiltinExcel.h"

#include <algorithm>
#include <optional>

#include "base/Utf8Path.h"
#include "ooxml/Workbook.h"

namespace quorvane::ooxml {
namespace {

using base::AutomationError;

// Shared by the application and the workbook objects handed out for it.
struct Session {
  std::optional<Workbook> workbook;
  std::vector<std::string> pending;  // sources to break at Save, in call order
};

// Sources are only collected here; the single pass over the package runs at
// Save, so breaking n sources costs one pass, not n.
class BuiltinWorkbook : public base::ExcelWorkbook {
 public:
  explicit BuiltinWorkbook(std::shared_ptr<Session> session) : session_(std::move(session)) {}

  base::LinkSourceList LinkSources(std::int32_t type) override {
    if (type != base::kExcelLinks) throw AutomationError("LinkSources", "only links to Excel workbooks are supported");
    auto sources = Book("LinkSources").BookSources();
    // As in Excel, a link broken is no longer listed, though the work is done at Save.
    std::erase_if(sources, [&](const std::string& name) {
      return std::find(session_->pending.begin(), session_->pending.end(), name) != session_->pending.end();
    });
    if (sources.empty()) return std::nullopt;
    return base::SourceArray(std::move(sources));
  }

  void BreakLink(const std::string& name, std::int32_t type) override {
    if (type != base::kExcelLinks) throw AutomationError("BreakLink", "only links to Excel workbooks are supported");
    auto sources = Book("BreakLink").BookSources();
    if (std::find(sources.begin(), sources.end(), name) == sources.end())
      throw AutomationError("BreakLink", "no link to \"" + name + "\" in the workbook");
    session_->pending.push_back(name);
  }

  void Save() override {
    Workbook& book = Book("Save");
    try {
      if (!session_->pending.empty()) book.Break(session_->pending);
      book.Save();
      session_->pending.clear();
    } catch (const std::exception& e) {
      book.Discard();
      session_->pending.clear();
      throw AutomationError("Save", e.what());
    }
  }

  void Close(bool saveChanges) override {
    if (saveChanges) Save();
    session_->pending.clear();
    session_->workbook.reset();
  }

 private:
  Workbook& Book(const char* member) {
    if (!session_->workbook) throw AutomationError(member, "no workbook is open");
    return *session_->workbook;
  }
  std::shared_ptr<Session> session_;
};

class BuiltinWorkbooks : public base::ExcelWorkbooks {
 public:
  explicit BuiltinWorkbooks(std::shared_ptr<Session> session) : session_(std::move(session)) {}
  void Open(const std::string& path) override {
    try {
      session_->workbook.emplace(Workbook::Open(base::FromUtf8(path)));
      session_->pending.clear();
    } catch (const std::exception& e) {
      throw AutomationError("Open", e.what());
    }
  }

 private:
  std::shared_ptr<Session> session_;
};

class BuiltinApplication : public base::ExcelApplication {
 public:
  std::string DefaultMember() override { return kBuiltinEngineName; }
  std::unique_ptr<base::ExcelWorkbooks> Workbooks() override { return std::make_unique<BuiltinWorkbooks>(session_); }
  void SetAutomationSecurity(std::int32_t) override {}  // the engine runs no macros
  void SetDisplayAlerts(bool) override {}
  void SetAskToUpdateLinks(bool) override {}
  std::unique_ptr<base::ExcelWorkbook> ActiveWorkbook() override {
    if (!session_->workbook) throw AutomationError("ActiveWorkbook", "no workbook is open");
    return std::make_unique<BuiltinWorkbook>(session_);
  }
  void Quit() override {
    session_->pending.clear();
    session_->workbook.reset();
  }

 private:
  std::shared_ptr<Session> session_ = std::make_shared<Session>();
};

}  // namespace

std::unique_ptr<base::ExcelApplication> BuiltinAutomation::GetRunning() {
  throw AutomationError("GetObject", "the built-in engine has no running instance");
}

std::unique_ptr<base::ExcelApplication> BuiltinAutomation::Create() { return std::make_unique<BuiltinApplication>(); }

}  // namespace quorvane::ooxml

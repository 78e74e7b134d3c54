#include "cli/ObservedAutomation.h"

namespace quorvane::cli {
namespace {

class ObservedWorkbook final : public base::ExcelWorkbook {
 public:
  ObservedWorkbook(std::unique_ptr<base::ExcelWorkbook> inner, std::shared_ptr<Observation> seen)
      : inner_(std::move(inner)), seen_(std::move(seen)) {}

  base::LinkSourceList LinkSources(std::int32_t type) override {
    base::LinkSourceList list = inner_->LinkSources(type);
    if (!list) {
      seen_->sources.reset();
    } else {
      std::vector<std::string> names;
      for (std::int32_t k = list->LowerBound(); k <= list->UpperBound(); ++k) names.push_back(list->At(k));
      seen_->sources = std::move(names);
    }
    return list;
  }
  void BreakLink(const std::string& name, std::int32_t type) override {
    inner_->BreakLink(name, type);
    seen_->broken.push_back(name);
  }
  void Save() override {
    inner_->Save();
    seen_->saved = true;
  }
  void Close(bool saveChanges) override { inner_->Close(saveChanges); }

 private:
  std::unique_ptr<base::ExcelWorkbook> inner_;
  std::shared_ptr<Observation> seen_;
};

class ObservedApplication final : public base::ExcelApplication {
 public:
  ObservedApplication(std::unique_ptr<base::ExcelApplication> inner, std::shared_ptr<Observation> seen)
      : inner_(std::move(inner)), seen_(std::move(seen)) {}

  std::string DefaultMember() override { return inner_->DefaultMember(); }
  std::unique_ptr<base::ExcelWorkbooks> Workbooks() override { return inner_->Workbooks(); }
  void SetAutomationSecurity(std::int32_t value) override { inner_->SetAutomationSecurity(value); }
  void SetDisplayAlerts(bool value) override { inner_->SetDisplayAlerts(value); }
  void SetAskToUpdateLinks(bool value) override { inner_->SetAskToUpdateLinks(value); }
  std::unique_ptr<base::ExcelWorkbook> ActiveWorkbook() override {
    return std::make_unique<ObservedWorkbook>(inner_->ActiveWorkbook(), seen_);
  }
  void Quit() override { inner_->Quit(); }
  void ForceEnd() noexcept override { inner_->ForceEnd(); }

 private:
  std::unique_ptr<base::ExcelApplication> inner_;
  std::shared_ptr<Observation> seen_;
};

}  // namespace

ObservedAutomation::ObservedAutomation(base::ExcelAutomation& inner)
    : inner_(inner), seen_(std::make_shared<Observation>()) {}

std::unique_ptr<base::ExcelApplication> ObservedAutomation::GetRunning() {
  return std::make_unique<ObservedApplication>(inner_.GetRunning(), seen_);
}

std::unique_ptr<base::ExcelApplication> ObservedAutomation::Create() {
  return std::make_unique<ObservedApplication>(inner_.Create(), seen_);
}

}  // namespace quorvane::cli

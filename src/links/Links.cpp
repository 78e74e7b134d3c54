#include "links/Links.h"

namespace quorvane::links {

bool IsExcelRunning(base::ExcelAutomation& excel) {
  try {
    const auto running = excel.GetRunning();
    return running->DefaultMember() == "Microsoft Excel";
  } catch (...) {
    return false;
  }
}

bool WarnIfExcelOpen(base::ExcelAutomation& excel, base::MessageBoxes& messages) {
  if (!IsExcelRunning(excel)) return false;
  return messages.Show(kExcelOpenWarning, base::MessageButtons::YesNo) != base::MessageAnswer::Yes;
}

std::unique_ptr<base::ExcelApplication> OpenWorkbookInExcel(base::ExcelAutomation& excel, const std::string& path) {
  auto instance = excel.Create();
  try {
    instance->Workbooks()->Open(path);
  } catch (...) {
    EndAfterFailure(*instance, false);
    throw;
  }
  return instance;
}

void BreakAllLinks(base::ExcelApplication& instance, base::Property<int>& pointer) {
  pointer.Set(base::kPointerHourglass);
  const base::LinkSourceList sources = instance.ActiveWorkbook()->LinkSources(base::kExcelLinks);
  if (!sources) return;
  // The lower bound is not consulted: Excel's arrays start at 1.
  for (std::int32_t k = 1; k <= sources->UpperBound(); ++k) {
    instance.ActiveWorkbook()->BreakLink(sources->At(k), base::kExcelLinks);
  }
}

void EndAfterFailure(base::ExcelApplication& instance, bool workbookOpen) noexcept {
  try {
    instance.SetDisplayAlerts(false);
  } catch (...) {
  }
  if (workbookOpen) {
    try {
      instance.ActiveWorkbook()->Close(false);
    } catch (...) {
    }
  }
  try {
    instance.Quit();
  } catch (...) {
  }
  instance.ForceEnd();
}

void BreakWorkbookLinks(base::ExcelAutomation& excel, const std::string& path,
                        std::unique_ptr<base::ExcelApplication>& current, base::Property<int>& pointer) {
  auto opened = OpenWorkbookInExcel(excel, path);
  current = std::move(opened);  // only now is the previous instance released
  base::ExcelApplication& instance = *current;
  try {
    pointer.Set(base::kPointerHourglass);
    instance.SetDisplayAlerts(false);
    instance.SetAskToUpdateLinks(false);
    BreakAllLinks(instance, pointer);
    // The workbook is saved, not the application: Application.Save is no
    // documented member and would not write the workbook.
    instance.ActiveWorkbook()->Save();
    instance.SetDisplayAlerts(true);
    instance.Quit();
  } catch (...) {
    EndAfterFailure(instance, true);
    throw;
  }
}

std::string DescribeFailure(const std::exception& error) {
  if (const auto* automation = dynamic_cast<const base::AutomationError*>(&error)) {
    if (!automation->Member().empty()) return automation->Member() + ": " + automation->what();
  }
  return error.what();
}

}  // namespace quorvane::links

#include "links/Links.h"

namespace quorvane::links {
namespace {

std::string Names(const base::SourceArray& sources) {
  std::string text;
  for (std::int32_t k = sources.LowerBound(); k <= sources.UpperBound(); ++k)
    text += (text.empty() ? "" : ", ") + sources.At(k);
  return text;
}

void LookBeforeOpening(const base::ExcelAids& aids, const std::string& path) {
  if (!aids.obstacleFinder) return;
  const base::OpeningObstacle obstacle = aids.obstacleFinder->Look(path);
  if (obstacle != base::OpeningObstacle::None) throw base::AutomationError("", base::NotOpenedReason(obstacle));
}

// BreakLink converts cell formulas but may leave links in defined names,
// validation lists, conditional formats and some chart and control
// settings. The engine can break those in an Open XML workbook, once Excel
// no longer holds the file; a workbook it cannot take keeps them, and fails.
void BreakWhatExcelLeft(base::ExcelApplication& instance, const base::ExcelAids& aids, const std::string& path,
                        const base::SourceArray& left, base::Property<int>& pointer) {
  instance.ForceEnd();
  const std::string reason = "Excel left links to: " + Names(left);
  if (!aids.engine) throw base::AutomationError("", reason);
  const auto engine = aids.engine->Create();
  try {
    engine->Workbooks()->Open(path);
  } catch (const std::exception&) {
    throw base::AutomationError("", reason);  // a binary workbook, which the engine does not edit
  }
  try {
    if (const auto still = BreakAllLinks(*engine, pointer)) throw base::AutomationError("", Names(*still));
    engine->ActiveWorkbook()->Save();
    engine->Quit();
  } catch (const std::exception& error) {
    throw base::AutomationError("", reason + "; the built-in engine could not break them: " + DescribeFailure(error));
  }
}

}  // namespace

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
    // An instance started by automation runs every macro of what it opens.
    instance->SetAutomationSecurity(base::kMacrosForceDisabled);
    instance->Workbooks()->Open(path);
  } catch (...) {
    EndAfterFailure(*instance, false);
    throw;
  }
  return instance;
}

base::LinkSourceList BreakAllLinks(base::ExcelApplication& instance, base::Property<int>& pointer) {
  pointer.Set(base::kPointerHourglass);
  const base::LinkSourceList sources = instance.ActiveWorkbook()->LinkSources(base::kExcelLinks);
  if (!sources) return std::nullopt;
  // The lower bound is not consulted: Excel's arrays start at 1.
  for (std::int32_t k = 1; k <= sources->UpperBound(); ++k) {
    instance.ActiveWorkbook()->BreakLink(sources->At(k), base::kExcelLinks);
  }
  return instance.ActiveWorkbook()->LinkSources(base::kExcelLinks);
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
  const base::ExcelAids aids = excel.Aids();
  LookBeforeOpening(aids, path);
  auto opened = OpenWorkbookInExcel(excel, path);
  current = std::move(opened);  // only now is the previous instance released
  base::ExcelApplication& instance = *current;
  base::LinkSourceList left;
  try {
    pointer.Set(base::kPointerHourglass);
    instance.SetDisplayAlerts(false);
    instance.SetAskToUpdateLinks(false);
    left = BreakAllLinks(instance, pointer);
    // The workbook is saved, not the application: Application.Save is no
    // documented member and would not write the workbook.
    instance.ActiveWorkbook()->Save();
    instance.SetDisplayAlerts(true);
    instance.Quit();
  } catch (...) {
    EndAfterFailure(instance, true);
    throw;
  }
  if (left) BreakWhatExcelLeft(instance, aids, path, *left, pointer);
}

std::string DescribeFailure(const std::exception& error) {
  if (const auto* automation = dynamic_cast<const base::AutomationError*>(&error)) {
    if (!automation->Member().empty()) return automation->Member() + ": " + automation->what();
  }
  return error.what();
}

}  // namespace quorvane::links

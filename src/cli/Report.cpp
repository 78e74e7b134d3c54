#include "cli/Report.h"

#include <cstdio>
#include <sstream>

#include "quorvane/Version.h"

namespace quorvane::cli {
namespace {

std::string Count(std::size_t n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

std::string UsageText(const ooxml::LinkUsage& usage) {
  std::string cells = Count(usage.cells, "cell", "cells");
  if (usage.uncached > 0) cells += " (" + std::to_string(usage.uncached) + " uncached)";
  return cells + ", " + Count(usage.names, "name", "names") + ", " +
         Count(usage.charts, "chart", "charts") + ", " + Count(usage.rules, "rule", "rules") + ", " +
         Count(usage.controls, "control", "controls");
}

// Length of the valid UTF-8 sequence starting at text[i], or 0.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned min = 0;
  unsigned code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2, min = 0x80, code = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, min = 0x800, code = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, min = 0x10000, code = lead & 0x07;
  else return 0;
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// How a source is tied to the workbook, for --json.
const char* FormName(ooxml::LinkForm form) {
  switch (form) {
    case ooxml::LinkForm::Unlisted: return "unused part";
    case ooxml::LinkForm::ByName: return "by name";
    case ooxml::LinkForm::Listed: break;
  }
  return "part";
}

}  // namespace

const char* StatusName(Status status) {
  switch (status) {
    case Status::Changed: return "changed";
    case Status::NoLinks: return "unchanged";
    case Status::Linked: return "linked";
    case Status::NotStarted: return "not started";
    case Status::Failed: break;
  }
  return "failed";
}

std::string FormatWorkbook(const WorkbookReport& report, Action action) {
  std::string text;
  switch (report.status) {
    case Status::NotStarted: return "not started: " + report.path + ": left as it was\n";
    case Status::Failed:
      text = "failed: " + report.path + ": " + report.reason + "\n";
      if (!report.backup.empty()) text += "  backup: " + report.backup + "\n";
      return text;
    case Status::NoLinks:
      text = (action == Action::List ? "" : "unchanged: ") + report.path + ": no links to other workbooks\n";
      break;
    case Status::Changed:
      text = "changed: " + report.path + ": " + Count(report.sources.size(), "link", "links") + " broken\n";
      break;
    case Status::Linked:
      text = report.path + ": " + Count(report.sources.size(), "link", "links") + "\n";
      break;
  }
  for (const auto& source : report.sources) {
    text += "  " + source.name;
    if (source.kind != "book") text += " (" + source.kind + ", kept)";
    if (source.form == ooxml::LinkForm::Unlisted) {
      text += " (unused link part)\n";
      continue;
    }
    if (source.form == ooxml::LinkForm::ByName) text += " (by name, no link part)";
    if (source.usage) text += ": used by " + UsageText(*source.usage);
    text += "\n";
  }
  if (!report.backup.empty()) text += "  backup: " + report.backup + "\n";
  return text;
}

std::string FormatSummary(const std::vector<WorkbookReport>& reports, Action action) {
  std::size_t done = 0, none = 0, failed = 0, notStarted = 0;
  for (const auto& report : reports) {
    if (report.status == Status::Failed) ++failed;
    else if (report.status == Status::NoLinks) ++none;
    else if (report.status == Status::NotStarted) ++notStarted;
    else ++done;
  }
  return Count(reports.size(), "workbook", "workbooks") + ": " + std::to_string(done) +
         (action == Action::Break ? " changed, " : " with links, ") + std::to_string(none) +
         " without links, " + std::to_string(failed) + " failed" +
         (notStarted > 0 ? ", " + std::to_string(notStarted) + " not started" : "");
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t length = Utf8Length(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

void WriteJson(std::ostream& out, const std::vector<WorkbookReport>& reports, Action action) {
  std::size_t counts[5] = {};
  out << "{\n  \"version\": " << JsonString(QUORVANE_VERSION) << ",\n";
  out << "  \"action\": " << (action == Action::Break ? "\"break\"" : "\"list\"") << ",\n";
  out << "  \"workbooks\": [";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const auto& report = reports[i];
    ++counts[static_cast<int>(report.status)];
    out << (i == 0 ? "\n" : ",\n") << "    {\"path\": " << JsonString(report.path)
        << ", \"status\": " << JsonString(StatusName(report.status));
    // Every key is always there; null says "none".
    out << ", \"reason\": " << (report.reason.empty() ? "null" : JsonString(report.reason));
    out << ", \"backup\": " << (report.backup.empty() ? "null" : JsonString(report.backup));
    out << ", \"sources\": [";
    for (std::size_t s = 0; s < report.sources.size(); ++s) {
      const auto& source = report.sources[s];
      out << (s == 0 ? "" : ", ") << "{\"name\": " << JsonString(source.name)
          << ", \"kind\": " << JsonString(source.kind);
      if (const auto& usage = source.usage) {
        out << ", \"link\": " << JsonString(FormName(source.form)) << ", \"cells\": " << usage->cells
            << ", \"uncached\": " << usage->uncached << ", \"names\": " << usage->names
            << ", \"charts\": " << usage->charts << ", \"rules\": " << usage->rules
            << ", \"controls\": " << usage->controls;
      }
      out << "}";
    }
    out << "]}";
  }
  out << (reports.empty() ? "],\n" : "\n  ],\n");
  out << "  \"summary\": {\"workbooks\": " << reports.size() << ", \""
      << (action == Action::Break ? "changed" : "linked") << "\": "
      << counts[static_cast<int>(action == Action::Break ? Status::Changed : Status::Linked)]
      << ", \"unchanged\": " << counts[static_cast<int>(Status::NoLinks)]
      << ", \"failed\": " << counts[static_cast<int>(Status::Failed)]
      << ", \"not_started\": " << counts[static_cast<int>(Status::NotStarted)] << "}\n}\n";
}

}  // namespace quorvane::cli

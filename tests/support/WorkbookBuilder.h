#pragma once
// Writes small linked workbooks (.xlsx/.xlsm) for tests from XML fragments,
// zip files byte by byte, and reads packages back. Portable: no platform calls.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/ScratchDir.h"

namespace quorvane::testing {

inline constexpr const char* kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr const char* kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr const char* kPackageRelNs = "http://schemas.openxmlformats.org/package/2006/relationships";
inline constexpr const char* kRelTypes = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

struct BookLink {
  std::string target;                  // relationship target of the other workbook
  std::vector<std::string> sheetNames;
  std::string sheetDataSet;            // inner XML of <sheetDataSet>; empty: no cache
  std::string definedNames = {};       // inner XML of <definedNames>, the other book's names
  bool external = true;                // TargetMode="External"
  bool listed = true;                  // false: related, but left out of <externalReferences>
};

class WorkbookBuilder {
 public:
  // `rows` is the inner XML of <sheetData>; `after` follows </sheetData>
  // (dataValidations, conditionalFormatting, oleObjects, extLst ...).
  WorkbookBuilder& AddSheet(std::string name, std::string rows, std::string after = {});
  WorkbookBuilder& AddName(std::string name, std::string formula, int localSheet = -1, std::string attrs = {});
  WorkbookBuilder& AddBookLink(BookLink link);
  WorkbookBuilder& AddDdeLink(std::string service, std::string topic);
  WorkbookBuilder& AddOleLink(std::string progId, std::string target);
  // A chart or chartEx on a sheet (through a drawing); `body` is the content
  // of <c:chartSpace> or <cx:chartSpace> (prefixes c or cx, and a declared).
  WorkbookBuilder& AddChart(std::size_t sheet, std::string body) { return AddChartPart(sheet, body, false); }
  WorkbookBuilder& AddChartEx(std::size_t sheet, std::string body) { return AddChartPart(sheet, body, true); }
  // A part related to a sheet, e.g. a table or control properties; returns
  // the relationship id on the sheet.
  std::string AddSheetPart(std::size_t sheet, std::string relType, std::string part, std::string contentType,
                           std::string content);
  // Drawing shapes beyond the chart frames (inner XML of <xdr:wsDr>).
  WorkbookBuilder& AddDrawingXml(std::size_t sheet, std::string anchors) {
    sheets_.at(sheet).drawing += anchors;
    return *this;
  }
  // Inner XML of <calcChain>, e.g. <c r="A1" i="1"/>.
  WorkbookBuilder& SetCalcChain(std::string entries) { return Set(calcChain_, std::move(entries)); }
  // Makes the package an .xlsm with this vbaProject.bin.
  WorkbookBuilder& SetVbaProject(std::string bytes) { return Set(vba_, std::move(bytes)); }
  WorkbookBuilder& AddPart(std::string name, std::string content, std::string contentType = {}) {
    return Add(extras_, {std::move(name), std::move(content), std::move(contentType)});
  }
  // Writes the package in the ISO/IEC 29500 Strict namespaces, as Excel's
  // "Strict Open XML" saves it; fragments are given in the usual ones.
  WorkbookBuilder& SetStrict() { return Set(strict_, true); }

  std::map<std::string, std::string> Parts() const;
  void Write(const std::filesystem::path& path) const;

 private:
  struct Sheet {
    std::string name, rows, after;
    std::vector<std::string> rels;  // Relationship elements
    std::string drawing;            // anchors
    std::vector<std::string> drawingRels;
  };
  struct Link {
    std::string body, rels;  // inner XML of <externalLink>, its relationships
    bool listed = true;
  };
  using Extra = std::array<std::string, 3>;  // name, content, content type
  template <typename T>
  WorkbookBuilder& Set(T& field, T value) {
    field = std::move(value);
    return *this;
  }
  template <typename T>
  WorkbookBuilder& Add(std::vector<T>& list, T item) {
    list.push_back(std::move(item));
    return *this;
  }
  WorkbookBuilder& AddChartPart(std::size_t sheet, const std::string& body, bool chartEx);

  std::vector<Sheet> sheets_;
  std::vector<std::string> names_;
  std::vector<Link> links_;
  std::vector<Extra> extras_;
  std::string calcChain_, vba_;
  std::size_t chartCount_ = 0, chartExCount_ = 0;
  bool strict_ = false;
};

// A zip entry, broken and hostile ones included; every member has an
// initialiser, so designated initialisers may name a few.
struct ZipItem {
  std::string name;
  std::string data;  // the part's content
  std::uint16_t method = 8;
  std::uint16_t flags = 0;
  bool descriptor = false;  // sizes and CRC in a data descriptor after the data
  std::string extra{};        // extra field, in both headers
  std::string comment{};      // entry comment
  std::optional<std::uint64_t> declaredSize{};  // a lie about the inflated size
  std::optional<std::uint32_t> crc{};           // a lie about the checksum
  std::optional<std::string> compressed{};      // payload as given instead of data
};
std::string RawDeflate(std::string_view data);
// `value` as `bytes` little-endian bytes (zeros past the eighth).
std::string Le(std::uint64_t value, int bytes);
// Writes the items in order; zip64 end records when there are 65535 or more.
std::string MakeZip(const std::vector<ZipItem>& items, std::string_view comment = {});

// Writes parts as a zip package, [Content_Types].xml first.
void WritePackage(const std::filesystem::path& path, const std::map<std::string, std::string>& parts);
// Every entry of a zip package, inflated, by name.
std::map<std::string, std::string> ReadPackage(const std::filesystem::path& path);
// Entry names in stored order.
std::vector<std::string> PackageEntries(const std::filesystem::path& path);

}  // namespace quorvane::testing

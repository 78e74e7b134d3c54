#include "support/WorkbookBuilder.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "base/Utf8Path.h"

namespace quorvane::testing {
namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
const std::string kCtPrefix = "application/vnd.openxmlformats-officedocument.";

// Escaped for an attribute value, or for element text (quotes left as Excel leaves them).
std::string Attr(const std::string& text, bool attribute = true) {
  std::string out;
  for (char c : text)
    out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '"' && attribute ? "&quot;" : std::string(1, c);
  return out;
}

std::string Rel(const std::string& id, const std::string& type, const std::string& target, bool external = false) {
  return "<Relationship Id=\"" + id + "\" Type=\"" + type + "\" Target=\"" + Attr(target) + "\"" +
         (external ? " TargetMode=\"External\"" : "") + "/>";
}

std::string Rels(const std::vector<std::string>& items) {
  std::string out = kDecl + "<Relationships xmlns=\"" + kPackageRelNs + "\">";
  for (const auto& i : items) out += i;
  return out + "</Relationships>";
}

// Little-endian fields: value and width in bytes.
void Fields(std::string& s, std::initializer_list<std::pair<std::uint64_t, int>> fields) {
  for (const auto& [v, bytes] : fields) s += Le(v, bytes);
}

// Every entry of a zip package, inflated, in stored order; read by libzip
// with its consistency checks, independently of the product's reader.
std::vector<std::pair<std::string, std::string>> ReadEntries(const std::filesystem::path& path) {
  int error = 0;
  const std::unique_ptr<zip_t, decltype(&zip_discard)> zip(
      zip_open(base::ToUtf8(path).c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error), &zip_discard);
  if (!zip) throw std::runtime_error("cannot open zip " + base::ToUtf8(path));
  std::vector<std::pair<std::string, std::string>> out;
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(zip_get_num_entries(zip.get(), 0)); ++i) {
    zip_stat_t st;
    zip_stat_index(zip.get(), i, 0, &st);
    const std::unique_ptr<zip_file_t, decltype(&zip_fclose)> f(zip_fopen_index(zip.get(), i, 0), &zip_fclose);
    std::string data(static_cast<std::size_t>(st.size), '\0');
    if (!f || (!data.empty() && zip_fread(f.get(), data.data(), st.size) != static_cast<zip_int64_t>(st.size)))
      throw std::runtime_error(std::string("cannot read entry ") + st.name);
    out.emplace_back(st.name, std::move(data));
  }
  return out;
}

}  // namespace

WorkbookBuilder& WorkbookBuilder::AddSheet(std::string name, std::string rows, std::string after) {
  return Add(sheets_, {std::move(name), std::move(rows), std::move(after), {}, {}, {}});
}

WorkbookBuilder& WorkbookBuilder::AddBookLink(BookLink link) {
  std::string body = "<externalBook r:id=\"rId1\"><sheetNames>";
  for (const auto& s : link.sheetNames) body += "<sheetName val=\"" + Attr(s) + "\"/>";
  body += "</sheetNames>";
  if (!link.definedNames.empty()) body += "<definedNames>" + link.definedNames + "</definedNames>";
  if (!link.sheetDataSet.empty()) body += "<sheetDataSet>" + link.sheetDataSet + "</sheetDataSet>";
  const std::string rel = Rel("rId1", std::string(kRelTypes) + "externalLinkPath", link.target, link.external);
  return Add(links_, {body + "</externalBook>", Rels({rel}), link.listed});
}

WorkbookBuilder& WorkbookBuilder::AddDdeLink(std::string service, std::string topic) {
  return Add(links_, {"<ddeLink ddeService=\"" + Attr(service) + "\" ddeTopic=\"" + Attr(topic) +
                          "\"><ddeItems><ddeItem name=\"R1C1\" advise=\"1\"/></ddeItems></ddeLink>",
                      {}, true});
}

WorkbookBuilder& WorkbookBuilder::AddOleLink(std::string progId, std::string target) {
  return Add(links_, {"<oleLink r:id=\"rId1\" progId=\"" + Attr(progId) +
                          "\"><oleItems><oleItem name=\"'\" advise=\"1\"/></oleItems></oleLink>",
                      Rels({Rel("rId1", std::string(kRelTypes) + "oleObject", target, true)}), true});
}

WorkbookBuilder& WorkbookBuilder::AddName(std::string name, std::string formula, int localSheet, std::string attrs) {
  std::string e = "<definedName name=\"" + Attr(name) + "\"";
  if (localSheet >= 0) e += " localSheetId=\"" + std::to_string(localSheet) + "\"";
  if (!attrs.empty()) e += " " + attrs;
  return Add(names_, e + ">" + Attr(formula, false) + "</definedName>");
}

// A chart in a two-cell anchor as Excel places one, a chartEx in an
// absolute anchor; both through a graphic frame of the sheet's drawing.
WorkbookBuilder& WorkbookBuilder::AddChartPart(std::size_t sheet, const std::string& body, bool chartEx) {
  const std::string n = std::to_string(chartEx ? ++chartExCount_ : ++chartCount_);
  const std::string prefix = chartEx ? "cx" : "c";
  const std::string ns = chartEx ? "http://schemas.microsoft.com/office/drawing/2014/chartex"
                                 : "http://schemas.openxmlformats.org/drawingml/2006/chart";
  const std::string rid = (chartEx ? "rIdX" : "rIdC") + n;
  const std::string part = std::string("charts/") + (chartEx ? "chartEx" : "chart") + n + ".xml";
  Sheet& s = sheets_.at(sheet);
  s.drawing += chartEx ? "<xdr:absoluteAnchor><xdr:pos x=\"0\" y=\"0\"/><xdr:ext cx=\"0\" cy=\"0\"/>"
                       : "<xdr:twoCellAnchor><xdr:from><xdr:col>0</xdr:col><xdr:colOff>0</xdr:colOff><xdr:row>0</xdr:row>"
                         "<xdr:rowOff>0</xdr:rowOff></xdr:from><xdr:to><xdr:col>5</xdr:col><xdr:colOff>0</xdr:colOff>"
                         "<xdr:row>10</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:to>";
  s.drawing += "<xdr:graphicFrame macro=\"\"><xdr:nvGraphicFramePr><xdr:cNvPr id=\"" +
               std::to_string(s.drawingRels.size() + 2) + "\" name=\"" + (chartEx ? "ChartEx " : "Chart ") + n +
               "\"/><xdr:cNvGraphicFramePr/></xdr:nvGraphicFramePr><xdr:xfrm><a:off x=\"0\" y=\"0\"/><a:ext cx=\"0\" "
               "cy=\"0\"/></xdr:xfrm><a:graphic><a:graphicData uri=\"" + ns + "\"><" + prefix + ":chart xmlns:" +
               prefix + "=\"" + ns + "\" r:id=\"" + rid + "\"/></a:graphicData></a:graphic></xdr:graphicFrame>" +
               "<xdr:clientData/></xdr:" + (chartEx ? "absoluteAnchor>" : "twoCellAnchor>");
  s.drawingRels.push_back(Rel(rid, chartEx ? "http://schemas.microsoft.com/office/2014/relationships/chartEx"
                                           : std::string(kRelTypes) + "chart", "../" + part));
  const std::string space = kDecl + "<" + prefix + ":chartSpace xmlns:" + prefix + "=\"" + ns +
                            "\" xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" xmlns:r=\"" +
                            kRelNs + "\">" + body + "</" + prefix + ":chartSpace>";
  return Add(extras_, {"xl/" + part, space,
                       chartEx ? "application/vnd.ms-office.chartex+xml" : kCtPrefix + "drawingml.chart+xml"});
}

std::string WorkbookBuilder::AddSheetPart(std::size_t sheet, std::string relType, std::string part,
                                          std::string contentType, std::string content) {
  Sheet& s = sheets_.at(sheet);
  std::string id = "rIdP" + std::to_string(s.rels.size() + 1);
  // Targets are relative to xl/worksheets/.
  s.rels.push_back(Rel(id, relType, "../" + part.substr(part.find('/') + 1)));
  extras_.push_back({std::move(part), std::move(content), std::move(contentType)});
  return id;
}

namespace {

// Strict renames the namespaces only; packaging and markup compatibility
// keep theirs.
void ToStrict(std::string& text) {
  static const std::pair<std::string_view, std::string_view> kRenames[] = {
      {"http://schemas.openxmlformats.org/spreadsheetml/2006/main", "http://purl.oclc.org/ooxml/spreadsheetml/main"},
      {"http://schemas.openxmlformats.org/officeDocument/2006/relationships",
       "http://purl.oclc.org/ooxml/officeDocument/relationships"},
      {"http://schemas.openxmlformats.org/drawingml/2006/", "http://purl.oclc.org/ooxml/drawingml/"},
  };
  for (const auto& [from, to] : kRenames)
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
  const std::string root = "<workbook xmlns=";
  if (text.find(root) != std::string::npos) text.insert(text.find(root) + 10, "conformance=\"strict\" ");
}

}  // namespace

std::map<std::string, std::string> WorkbookBuilder::Parts() const {
  std::map<std::string, std::string> parts;
  std::string types = kDecl + "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                              "<Default Extension=\"rels\" ContentType=\"application/"
                              "vnd.openxmlformats-package.relationships+xml\"/><Default Extension=\"xml\" "
                              "ContentType=\"application/xml\"/>";
  const auto override = [&](const std::string& part, const std::string& type) {
    types += "<Override PartName=\"/" + part + "\" ContentType=\"" + type + "\"/>";
  };
  override("xl/workbook.xml", vba_.empty() ? kCtPrefix + "spreadsheetml.sheet.main+xml"
                                           : "application/vnd.ms-excel.sheet.macroEnabled.main+xml");
  std::vector<std::string> bookRels;
  // A part the workbook relates to, under xl/.
  const auto bookPart = [&](const std::string& id, const std::string& relType, const std::string& name,
                            const std::string& type, std::string content) {
    bookRels.push_back(Rel(id, relType, name));
    override("xl/" + name, type);
    parts["xl/" + name] = std::move(content);
  };
  const std::string rels = kRelTypes;
  parts["_rels/.rels"] = Rels({Rel("rId1", rels + "officeDocument", "xl/workbook.xml")});

  std::string workbook = kDecl + "<workbook xmlns=\"" + kMainNs + "\" xmlns:r=\"" + kRelNs + "\"><sheets>";
  std::size_t drawings = 0;
  for (std::size_t i = 0; i < sheets_.size(); ++i) {
    const Sheet& s = sheets_[i];
    std::string n = std::to_string(i + 1);
    workbook += "<sheet name=\"" + Attr(s.name) + "\" sheetId=\"" + n + "\" r:id=\"rIdS" + n + "\"/>";
    std::vector<std::string> sheetRels = s.rels;
    std::string after = s.after;
    if (!s.drawing.empty()) {
      std::string d = std::to_string(++drawings);
      std::string dpart = "xl/drawings/drawing" + d + ".xml";
      sheetRels.push_back(Rel("rIdD", rels + "drawing", "../drawings/drawing" + d + ".xml"));
      after.insert(std::min(after.find("<extLst"), after.size()), "<drawing r:id=\"rIdD\"/>");
      parts[dpart] = kDecl +
                     "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\" "
                     "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" xmlns:r=\"" +
                     kRelNs + "\">" + s.drawing + "</xdr:wsDr>";
      override(dpart, kCtPrefix + "drawing+xml");
      parts["xl/drawings/_rels/drawing" + d + ".xml.rels"] = Rels(s.drawingRels);
    }
    bookPart("rIdS" + n, rels + "worksheet", "worksheets/sheet" + n + ".xml", kCtPrefix + "spreadsheetml.worksheet+xml",
             kDecl + "<worksheet xmlns=\"" + kMainNs + "\" xmlns:r=\"" + kRelNs +
                 "\" xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" "
                 "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\" "
                 "xmlns:xm=\"http://schemas.microsoft.com/office/excel/2006/main\"><sheetData>" +
                 s.rows + "</sheetData>" + after + "</worksheet>");
    if (!sheetRels.empty()) parts["xl/worksheets/_rels/sheet" + n + ".xml.rels"] = Rels(sheetRels);
  }
  workbook += "</sheets>";
  std::string references;
  for (std::size_t i = 0; i < links_.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    if (links_[i].listed) references += "<externalReference r:id=\"rIdL" + n + "\"/>";
    if (!links_[i].rels.empty()) parts["xl/externalLinks/_rels/externalLink" + n + ".xml.rels"] = links_[i].rels;
    bookPart("rIdL" + n, rels + "externalLink", "externalLinks/externalLink" + n + ".xml",
             kCtPrefix + "spreadsheetml.externalLink+xml",
             kDecl + "<externalLink xmlns=\"" + kMainNs + "\" xmlns:r=\"" + kRelNs + "\">" + links_[i].body +
                 "</externalLink>");
  }
  if (!references.empty()) workbook += "<externalReferences>" + references + "</externalReferences>";
  if (!names_.empty())
    workbook += "<definedNames>" + std::accumulate(names_.begin(), names_.end(), std::string()) + "</definedNames>";
  parts["xl/workbook.xml"] = workbook + "<calcPr calcId=\"191029\"/></workbook>";
  if (!calcChain_.empty())
    bookPart("rIdCC", rels + "calcChain", "calcChain.xml", kCtPrefix + "spreadsheetml.calcChain+xml",
             kDecl + "<calcChain xmlns=\"" + kMainNs + "\">" + calcChain_ + "</calcChain>");
  if (!vba_.empty())
    bookPart("rIdV", "http://schemas.microsoft.com/office/2006/relationships/vbaProject", "vbaProject.bin",
             "application/vnd.ms-office.vbaProject", vba_);
  for (const auto& [name, content, type] : extras_) {
    parts[name] = content;
    if (!type.empty()) override(name, type);
  }
  parts["xl/_rels/workbook.xml.rels"] = Rels(bookRels);
  parts["[Content_Types].xml"] = types + "</Types>";
  if (strict_)
    for (auto& [name, text] : parts) ToStrict(text);
  return parts;
}

void WorkbookBuilder::Write(const std::filesystem::path& path) const { WritePackage(path, Parts()); }

std::string Le(std::uint64_t value, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(i < 8 ? (value >> (8 * i)) & 0xFF : 0);
  return s;
}

std::string RawDeflate(std::string_view data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
            static_cast<uLong>(data.size()), Z_DEFAULT_COMPRESSION);
  return out.substr(2, size - 6);  // without the zlib header and checksum
}

std::string MakeZip(const std::vector<ZipItem>& items, std::string_view comment) {
  std::string out, central;
  for (const ZipItem& it : items) {
    const std::string payload = it.compressed ? *it.compressed : it.method == 8 ? RawDeflate(it.data) : it.data;
    const std::uint32_t crc = it.crc ? *it.crc
                                     : static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(it.data.data()),
                                                                        static_cast<uInt>(it.data.size())));
    const std::uint64_t usize = it.declaredSize ? *it.declaredSize : it.data.size();
    const std::uint64_t flags = it.flags | (it.descriptor ? 8 : 0);
    // The fields both headers share, from "version needed" to the extra length.
    const auto shared = [&](std::string& s, bool later) {
      Fields(s, {{20, 2}, {flags, 2}, {it.method, 2}, {0x6A21, 2}, {0x5A86, 2}, {later ? 0 : crc, 4},
                 {later ? 0 : payload.size(), 4}, {later ? 0 : usize, 4}, {it.name.size(), 2}, {it.extra.size(), 2}});
    };
    const std::uint64_t offset = out.size();
    Fields(out, {{0x04034b50, 4}});
    shared(out, it.descriptor);
    out += it.name + it.extra + payload;
    if (it.descriptor) Fields(out, {{0x08074b50, 4}, {crc, 4}, {payload.size(), 4}, {usize, 4}});
    Fields(central, {{0x02014b50, 4}, {0x031E, 2}});  // made on Unix, by version 3.0
    shared(central, false);
    // Comment length, disk, internal attributes, -rw-r--r--, local header.
    Fields(central, {{it.comment.size(), 2}, {0, 2}, {0, 2}, {0x81A40000, 4}, {offset, 4}});
    central += it.name + it.extra + it.comment;
  }
  const std::uint64_t cdOffset = out.size();
  out += central;
  const std::uint64_t count = items.size();
  if (count >= 0xFFFF) {
    // The zip64 end record (made by and needed 4.5, no disks) and its locator.
    Fields(out, {{0x06064b50, 4}, {44, 8}, {45 | (45 << 16), 4}, {0, 8}, {count, 8}, {count, 8}, {central.size(), 8},
                 {cdOffset, 8}, {0x07064b50, 4}, {0, 4}, {cdOffset + central.size(), 8}, {1, 4}});
  }
  const std::uint64_t shortCount = std::min<std::uint64_t>(count, 0xFFFF);
  Fields(out, {{0x06054b50, 4}, {0, 4}, {shortCount, 2}, {shortCount, 2}, {central.size(), 4}, {cdOffset, 4},
               {comment.size(), 2}});
  return out + std::string(comment);
}

void WritePackage(const std::filesystem::path& path, const std::map<std::string, std::string>& parts) {
  // [Content_Types].xml first, as Office writes it.
  std::vector<ZipItem> items{{.name = "[Content_Types].xml", .data = parts.at("[Content_Types].xml")}};
  for (const auto& [name, data] : parts)
    if (name != items[0].name) items.push_back({.name = name, .data = data});
  tests::WriteBytes(path, MakeZip(items));
}

std::map<std::string, std::string> ReadPackage(const std::filesystem::path& path) {
  const auto entries = ReadEntries(path);
  return {entries.begin(), entries.end()};
}

std::vector<std::string> PackageEntries(const std::filesystem::path& path) {
  std::vector<std::string> out;
  for (auto& [name, data] : ReadEntries(path)) out.push_back(std::move(name));
  return out;
}

}  // namespace quorvane::testing

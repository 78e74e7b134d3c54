// quorvane-generate: writes deterministic linked workbooks for the benchmarks
// and the demo.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>

#include "Generator.h"

namespace qb = quorvane::bench;

int main(int argc, char** argv) {
  CLI::App app{"Writes linked .xlsx workbooks, the same bytes for the same shape and seed.\n"
               "One workbook goes to OUT/<name>.xlsx, several to the folder tree OUT/<name>/."};
  std::string preset;
  std::uint64_t seed = 1;
  std::string out;
  qb::Shape shape;
  app.add_option("--preset", preset, "small, medium, large or many; shape options below override it");
  app.add_option("--seed", seed, "seed of every choice (default 1)");
  app.add_option("--out", out, "folder to write into")->required();
  app.add_option("--name", shape.name, "file or folder name (default: the preset's name, else custom)");
  app.add_option("--sheets", shape.sheets, "worksheets per workbook");
  app.add_option("--rows", shape.rows, "rows per worksheet");
  app.add_option("--cols", shape.cols, "columns per worksheet");
  app.add_option("--external", shape.externalShare, "share of cells with formulas naming another workbook");
  app.add_option("--local", shape.localShare, "share of cells with formulas within the workbook");
  app.add_option("--text", shape.textShare, "share of cells holding shared-string text");
  app.add_option("--sources", shape.sources, "link sources per workbook");
  app.add_option("--workbooks", shape.workbooks, "workbooks; more than one makes a folder tree");
  app.add_flag("--chart,!--no-chart", shape.chart, "a chart showing a source range (default on)");
  app.add_flag("--names,!--no-names", shape.names, "defined names, some naming sources (default on)");
  app.footer("Presets: small = 1 sheet x 20 x 10; medium = 3 x 20000 x 10; large = 4 x 25000 x 20;\n"
             "many = 1000 small workbooks. All have 30% external formulas.");

  // Parse once to learn the preset, then again on top of it so that explicit
  // options win whatever their order.
  CLI11_PARSE(app, argc, argv);
  if (!preset.empty()) {
    const auto base = qb::Preset(preset);
    if (!base) {
      std::fprintf(stderr, "quorvane-generate: unknown preset '%s'\n", preset.c_str());
      return 2;
    }
    shape = *base;
    CLI11_PARSE(app, argc, argv);
  }
  if (const std::string why = qb::Validate(shape); !why.empty()) {
    std::fprintf(stderr, "quorvane-generate: %s\n", why.c_str());
    return 2;
  }
  try {
    const qb::WorkbookStats st = qb::Generate(shape, seed, out);
    std::printf("%s: %llu workbook(s), %llu cells, %llu external formulas, sheet XML %.1f MB, "
                "largest part %.1f MB, %.1f MB on disk\n",
                qb::OutputPath(shape, out).string().c_str(),
                static_cast<unsigned long long>(st.workbooks),
                static_cast<unsigned long long>(st.cells),
                static_cast<unsigned long long>(st.externalFormulas), st.sheetXmlBytes / 1e6,
                st.largestPartBytes / 1e6, st.fileBytes / 1e6);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvane-generate: %s\n", e.what());
    return 1;
  }
  return 0;
}

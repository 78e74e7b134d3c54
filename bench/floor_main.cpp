// quorvane-floor: times the least work a link breaker must do on the given
// workbooks (folders are walked for .xlsx), single-threaded.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "Floor.h"

namespace fs = std::filesystem;
namespace qb = quorvane::bench;

namespace {

double CpuSeconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

void Collect(const fs::path& p, std::vector<fs::path>& files) {
  if (!fs::is_directory(p)) {
    files.push_back(p);
    return;
  }
  std::vector<fs::path> found;
  for (const auto& e : fs::recursive_directory_iterator(p)) {
    if (e.is_regular_file() && e.path().extension() == ".xlsx") found.push_back(e.path());
  }
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
}

int Usage() {
  std::fprintf(stderr,
               "usage: quorvane-floor [--level N] [--out FILE] PATH...\n"
               "  Inflates what a link breaker must read, deflates what it must rewrite,\n"
               "  copies the rest; the result goes to FILE (one input only) or to a\n"
               "  temporary file beside each input that is removed afterwards.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int level = qb::kEngineLevel;
  fs::path out;
  std::vector<fs::path> files;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if ((arg == "--level" || arg == "--out") && i + 1 < argc) {
        if (arg == "--level") {
          level = std::stoi(argv[++i]);
        } else {
          out = argv[++i];
        }
      } else if (arg.starts_with("-")) {
        return Usage();
      } else {
        Collect(arg, files);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvane-floor: %s\n", e.what());
    return 2;
  }
  if (files.empty() || level < 1 || level > 9 || (!out.empty() && files.size() != 1)) return Usage();

  const auto start = std::chrono::steady_clock::now();
  qb::FloorStats total;
  for (const auto& file : files) {
    const bool temporary = out.empty();
    fs::path target = out;
    if (temporary) {
      target = file;
      target += ".floor-" + std::to_string(getpid());
    }
    try {
      total += qb::RunFloor(file, target, level);
    } catch (const std::exception& e) {
      std::error_code ignored;
      fs::remove(target, ignored);
      std::fprintf(stderr, "quorvane-floor: %s\n", e.what());
      return 1;
    }
    if (temporary) fs::remove(target);
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("floor: %llu file(s), wall %.3f s, cpu %.3f s (user %.3f, sys %.3f); inflated %.1f MB in %llu "
              "parts, deflated %.1f MB in %llu parts, copied %llu, dropped %llu; largest part %.1f MB\n",
              static_cast<unsigned long long>(total.files), wall,
              CpuSeconds(ru.ru_utime) + CpuSeconds(ru.ru_stime), CpuSeconds(ru.ru_utime),
              CpuSeconds(ru.ru_stime), total.inflatedBytes / 1e6,
              static_cast<unsigned long long>(total.partsRead), total.deflatedBytes / 1e6,
              static_cast<unsigned long long>(total.partsRewritten),
              static_cast<unsigned long long>(total.partsCopied),
              static_cast<unsigned long long>(total.partsDropped), total.largestPartBytes / 1e6);
  return 0;
}

#pragma once
// Workbooks the reliability tests work on: generated ones cached in the build
// folder, and small linked ones from the test builder.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quorvane::reliability {

// The generator's preset (seed 7) with shape options on top (e.g. "--rows",
// "5000"), generated once into the build's cache folder; empty when the
// generator is not built.
std::filesystem::path CachedWorkbook(const std::string& preset, const std::vector<std::string>& shape = {});

// A small workbook with two book links (cells, a name), 1 to 2 KiB; its
// parts by name.
void WriteLinkedWorkbook(const std::filesystem::path& path);
std::map<std::string, std::string> LinkedWorkbookParts();

// True when the file opens with the engine and has no book links.
bool OpensWithoutBookLinks(const std::filesystem::path& path, std::string* why = nullptr);

// The path of quorvane-cli.
std::string CliPath();

}  // namespace quorvane::reliability

#pragma once
// Writes compound files (the container of .xls workbooks and of encrypted
// packages) as Office writes them: version 3, small streams in the mini
// stream; and BIFF8 workbook streams.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::testing {

using CompoundStream = std::pair<std::u16string, std::string>;

// A compound file holding these streams in its root storage.
std::string CompoundFileBytes(const std::vector<CompoundStream>& streams);

// One BIFF record.
std::string BiffRecord(std::uint16_t type, std::string_view body = {});

// A BIFF8 workbook stream's globals as Excel 97-2003 writes them: BOF,
// `early` (WRITEPROT and FILEPASS go there), the interface records and
// WRITEACCESS, `late` (FILESHARING goes there), CODEPAGE, a sheet entry and
// EOF, padded with a sheet substream's worth of bytes to at least `size`.
std::string Biff8WorkbookStream(const std::vector<std::string>& early, const std::vector<std::string>& late,
                                std::size_t size = 4096);

// A whole .xls file around that stream, with the summary streams Excel adds.
std::string LegacyWorkbookFile(const std::string& workbookStream);

}  // namespace quorvane::testing

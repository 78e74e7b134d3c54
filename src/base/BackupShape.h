#pragma once
// The shape of the backup copies this tool writes beside a workbook,
// "NAME Backup <stamp>[ (n)].EXT": made by the run (links) and recognised by
// the folder walk (filelist), which must not take them for workbooks to work
// on.

#include <string>
#include <string_view>

namespace quorvane::base {

inline constexpr std::string_view kBackupInfix = " Backup ";

// "h mm AMPM dddd, mmm d yyyy", e.g. "7 04 PM Saturday, Dec 5 2026": hour
// 0..23 shown on the 12-hour clock, the names as the regional settings give
// them. An empty AM/PM designator leaves two blanks.
std::string FormatBackupStamp(int hour, int minute, std::string_view amPm, std::string_view weekday,
                              std::string_view month, int day, int year);

// " (n)" for the nth attempt at a free name; nothing for the first.
std::string BackupAttemptSuffix(int attempt);

// True when a file name (without its folder) has the shape of one of our
// backups, whatever language its regional names are in: " Backup ", then a
// stamp of that pattern (the names may be any text, the numbers must be
// those of a real time and date), then optionally " (n)", then the
// extension if any.
bool IsBackupName(std::string_view fileName);

}  // namespace quorvane::base

#include "filelist/Drop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/FakeFileList.h"

namespace quorvane::filelist {
namespace {

using testing::FakeDrag;

TEST(Drop, DragOverRefusesOnlyDragsWithoutAFileList) {
  FakeDrag text;
  text.formats = {1, 13};  // plain and Unicode text
  int effect = 1;          // copy, as the platform proposed
  ListView1_OLEDragOver(text, effect);
  EXPECT_EQ(effect, kDropEffectNone);

  FakeDrag files;
  files.formats = {1, 15};
  for (int proposed : {1, 2, 5}) {
    effect = proposed;
    ListView1_OLEDragOver(files, effect);
    EXPECT_EQ(effect, proposed);
  }
}

TEST(Drop, AppendsEveryPathInOrderAfterTheExistingEntries) {
  FileList list;
  list.Add("C:\\Data\\a.xls");
  FakeDrag drag;
  drag.formats = {15};
  drag.files = {"C:\\Data\\b.xlsx", "C:\\Data\\a.xls", "C:\\Data\\Sub Folder", "\\\\srv\\share\\notes.TXT"};
  ListView1_OLEDragDrop(drag, list);

  const std::vector<std::string> expected = {"C:\\Data\\a.xls", "C:\\Data\\b.xlsx", "C:\\Data\\a.xls",
                                             "C:\\Data\\Sub Folder", "\\\\srv\\share\\notes.TXT"};
  ASSERT_EQ(list.Count(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(list.Text(i + 1), expected[i]);
}

}  // namespace
}  // namespace quorvane::filelist

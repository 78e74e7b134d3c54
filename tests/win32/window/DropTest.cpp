// Drops onto the list through the IDropTarget the window registered, with
// data objects of the test's own: a real CF_HDROP and a text-only drag.
#include <windows.h>
#undef Yield
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TestWindow.h"
#include "win32/Strings.h"

namespace quorvane::testing {
namespace {

// A minimal IDataObject offering one HGLOBAL format.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class OneFormatData final : public IDataObject {
 public:
  OneFormatData(CLIPFORMAT format, std::vector<char> bytes) : format_(format), bytes_(std::move(bytes)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IDataObject) {
      *object = static_cast<IDataObject*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on the test's stack; the counts only have to balance.
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (QueryGetData(format) != S_OK) return DV_E_FORMATETC;
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes_.size());
    void* data = ::GlobalLock(memory);
    std::copy(bytes_.begin(), bytes_.end(), static_cast<char*>(data));
    ::GlobalUnlock(memory);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = memory;
    medium->pUnkForRelease = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
    return format->cfFormat == format_ && (format->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_FORMATETC;
  }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
    out->ptd = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
    return OLE_E_ADVISENOTSUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

  ULONG references() const { return references_; }

 private:
  CLIPFORMAT format_;
  std::vector<char> bytes_;
  ULONG references_ = 1;
};
#pragma GCC diagnostic pop

// DROPFILES followed by the wide paths, each NUL-ended, and a closing NUL.
std::vector<char> HDrop(const std::vector<std::wstring>& paths) {
  std::wstring list;
  for (const auto& path : paths) list += path + L'\0';
  list += L'\0';
  std::vector<char> bytes(sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
  DROPFILES header{};
  header.pFiles = sizeof(DROPFILES);
  header.fWide = TRUE;
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + sizeof header, list.data(), list.size() * sizeof(wchar_t));
  return bytes;
}

std::vector<char> Text(const std::wstring& text) {
  std::vector<char> bytes((text.size() + 1) * sizeof(wchar_t));
  std::memcpy(bytes.data(), text.c_str(), bytes.size());
  return bytes;
}

TEST(Drop, FileListIsAppendedInOrderAfterTheEntries) {
  FakeProgram p;
  p.Form().ListView1.Add("C:\\first.xls");
  IDropTarget* target = p.Window().DropTarget();
  ASSERT_NE(target, nullptr);
  const std::vector<std::wstring> paths{L"C:\\Données\\Łódź.xlsx", L"D:\\日本\\報告 Q3.xls", L"C:\\Folder",
                                        L"C:\\first.xls"};
  OneFormatData data(CF_HDROP, HDrop(paths));
  POINTL at{10, 10};
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
  ASSERT_EQ(target->DragEnter(&data, MK_LBUTTON, at, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  ASSERT_EQ(target->DragOver(MK_LBUTTON, at, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
  effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  ASSERT_EQ(target->Drop(&data, 0, at, &effect), S_OK);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));

  EXPECT_EQ(ListTexts(p.List()), (std::vector<std::wstring>{L"C:\\first.xls", paths[0], paths[1], paths[2], paths[3]}));
  EXPECT_EQ(p.Form().ListView1.Text(3), win32::Narrow(paths[1]));
  EXPECT_EQ(data.references(), 1u);  // nothing kept hold of the data
}

TEST(Drop, TextDragIsRefusedAndDropsNothing) {
  FakeProgram p;
  IDropTarget* target = p.Window().DropTarget();
  ASSERT_NE(target, nullptr);
  OneFormatData data(CF_UNICODETEXT, Text(L"C:\\looks\\like\\a\\path.xlsx"));
  POINTL at{10, 10};
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  target->DragEnter(&data, MK_LBUTTON, at, &effect);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
  effect = DROPEFFECT_COPY;
  target->DragOver(MK_LBUTTON, at, &effect);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
  effect = DROPEFFECT_COPY;
  target->Drop(&data, 0, at, &effect);
  EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
  EXPECT_EQ(p.Form().ListView1.Count(), 0u);
  EXPECT_EQ(ListView_GetItemCount(p.List()), 0);
}

}  // namespace
}  // namespace quorvane::testing

#include <gtest/gtest.h>

#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

TEST(Resource, UniqueHandleClosesTheKernelObject) {
  HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  {
    UniqueHandle event(raw);
    UniqueHandle moved = std::move(event);
    DWORD flags = 0;
    EXPECT_TRUE(::GetHandleInformation(raw, &flags));
  }
  DWORD flags = 0;
  EXPECT_FALSE(::GetHandleInformation(raw, &flags));

  UniqueFile none;  // INVALID_HANDLE_VALUE is its empty state
  EXPECT_FALSE(none);
  EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
}

TEST(Resource, ComPtrBalancesReferencesAndQueries) {
  IStream* object = nullptr;
  ASSERT_EQ(::CreateStreamOnHGlobal(nullptr, TRUE, &object), S_OK);
  const auto refs = [object] {
    object->AddRef();
    return object->Release();
  };
  {
    auto first = ComPtr<IUnknown>::AddRefed(object);
    EXPECT_EQ(refs(), 2u);
    ComPtr<IUnknown> second = std::move(first);
    EXPECT_EQ(refs(), 2u);
    {
      auto again = second.try_query<IStream>();
      EXPECT_TRUE(again);
      EXPECT_EQ(refs(), 3u);
    }
    EXPECT_EQ(refs(), 2u);
    EXPECT_FALSE(second.try_query<IDispatch>());
    try {
      second.query<IDispatch>();
      ADD_FAILURE() << "query of a missing interface must throw";
    } catch (const SystemError& error) {
      EXPECT_EQ(error.Code(), static_cast<long>(E_NOINTERFACE));
    }
    EXPECT_EQ(refs(), 2u);
  }
  EXPECT_EQ(object->Release(), 0u);
}

TEST(Resource, UniqueVariantFreesAndMovesItsString) {
  UniqueVariant text;
  text.get().vt = VT_BSTR;
  text.get().bstrVal = ::SysAllocString(L"abc");
  UniqueVariant moved = std::move(text);
  EXPECT_EQ(text.type(), VT_EMPTY);
  ASSERT_EQ(moved.type(), VT_BSTR);
  EXPECT_STREQ(moved.get().bstrVal, L"abc");
  moved.reset();
  EXPECT_EQ(moved.type(), VT_EMPTY);
}

TEST(Strings, RoundTripsNonAsciiAndRejectsMalformedText) {
  const std::string text = "C:\\Daten\\\xC3\x9C" "bersicht \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80.xlsx";
  const std::wstring wide = Widen(text);
  EXPECT_EQ(wide, L"C:\\Daten\\\u00DCbersicht \u6771\u4EAC \U0001F600.xlsx");
  EXPECT_EQ(Narrow(wide), text);
  EXPECT_EQ(Widen(""), L"");
  EXPECT_EQ(Narrow(L""), "");
  EXPECT_THROW(Widen("abc\xC3("), std::range_error);
  EXPECT_THROW(Widen("\xED\xA0\x80"), std::range_error);  // an encoded surrogate
  EXPECT_THROW(Narrow(std::wstring(1, static_cast<wchar_t>(0xD800))), std::range_error);
}

}  // namespace
}  // namespace quorvane::win32

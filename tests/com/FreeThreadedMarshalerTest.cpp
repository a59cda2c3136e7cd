#include "platform/com/ComObject.h"
#include "platform/com/RuntimeClass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct IThing : IInspectable {
  static constexpr GUID kIid{0x1A2B3C4D, 0x0007, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}};
  using BaseInterface = IInspectable;
};

class Thing final : public RuntimeClass<korvane::com::kComponentClass, IThing> {
 protected:
  const char* RuntimeClassNameText() const override { return "Test.Thing"; }
};

// A byte vector with a position: just enough stream for marshal data.
class VectorStream final : public ComObject<IStream> {
 public:
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(size, bytes.size() - position));
    std::memcpy(buffer, bytes.data() + position, n);
    position += n;
    *read = n;
    return n == size ? S_OK : S_FALSE;
  }
  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
    bytes.resize(std::max(bytes.size(), position + size));
    std::memcpy(bytes.data() + position, buffer, size);
    position += size;
    *written = size;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }

  std::vector<uint8_t> bytes;
  size_t position = 0;
};

// The strong count of `object` (AddRef then Release report it).
ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

struct MarshalRow {
  const char* name;
  DWORD flags;
  ULONG refsHeldByData;  // references the marshal data keeps until unmarshalled / released
  ULONG refsAfterUnmarshal;
};

// Marshal data written for one flag kind holds its references, unmarshals to the very same
// object (the marshaler is free-threaded: no proxy), and gives the references back when used
// (normal data) or released (table data).
TEST(FreeThreadedMarshalerTest, MarshalUnmarshal_SameObjectAndReferencesBalanced) {
  const MarshalRow rows[] = {{"normal", MSHLFLAGS_NORMAL, 1, 0},
                             {"table-strong", MSHLFLAGS_TABLESTRONG, 1, 1},
                             {"table-weak", MSHLFLAGS_TABLEWEAK, 0, 0}};
  for (const MarshalRow& row : rows) {
    SCOPED_TRACE(row.name);
    ComPtr<Thing> thing = MakeRuntimeObject<Thing>();
    ComPtr<IMarshal> marshal;
    ASSERT_EQ(S_OK, thing.As(&marshal));
    marshal.Reset();
    ASSERT_EQ(S_OK, thing->QueryInterface(IID_PPV_ARGS(&marshal)));
    const ULONG base = RefCount(static_cast<IThing*>(thing.Get()));  // thing + marshal
    VectorStream* stream = MakeComObject<VectorStream>().Detach();
    ASSERT_EQ(S_OK, marshal->MarshalInterface(stream, IThing::kIid, static_cast<IThing*>(thing.Get()), MSHCTX_INPROC,
                                              nullptr, row.flags));
    EXPECT_EQ(base + row.refsHeldByData, RefCount(static_cast<IThing*>(thing.Get())));

    stream->position = 0;
    ComPtr<IThing> unmarshalled;
    ASSERT_EQ(S_OK, marshal->UnmarshalInterface(stream, IID_PPV_ARGS(&unmarshalled)));
    EXPECT_EQ(static_cast<IThing*>(thing.Get()), unmarshalled.Get());
    unmarshalled.Reset();
    EXPECT_EQ(base + row.refsAfterUnmarshal, RefCount(static_cast<IThing*>(thing.Get())));
    if (row.flags != MSHLFLAGS_NORMAL) {
      stream->position = 0;
      EXPECT_EQ(S_OK, marshal->ReleaseMarshalData(stream));
      EXPECT_EQ(base, RefCount(static_cast<IThing*>(thing.Get())));
    }
    stream->Release();
  }
}

}  // namespace

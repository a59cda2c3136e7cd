#include "platform/d3d11/Device.h"

#include "platform/d3d11/DeviceContext.h"
#include "platform/d3d11/Texture2D.h"
#include "platform/d3d11/TextureLayout.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

namespace korvane::d3d11 {
namespace {

constexpr UINT kKnownBindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET | D3D11_BIND_DECODER;
constexpr UINT kKnownCpuAccessFlags = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;
constexpr UINT kKnownMiscFlags = D3D11_RESOURCE_MISC_SHARED;

std::string Hex(UINT value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

std::string SizeText(const D3D11_TEXTURE2D_DESC& desc) {
  return std::to_string(desc.Width) + " x " + std::to_string(desc.Height);
}

// Why `desc` (with `initialData`) cannot make a texture; empty when it can.
// `layout` receives the texture's layout once format and size are known to be good.
std::string CheckDescription(const D3D11_TEXTURE2D_DESC& desc, const D3D11_SUBRESOURCE_DATA* initialData,
                             std::optional<TextureLayout>& layout) {
  if (desc.Format != DXGI_FORMAT_NV12 && desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM) {
    return "unsupported Format " + std::to_string(desc.Format) + " (NV12 103 and B8G8R8A8 87 are offered)";
  }
  layout = TextureLayout::For(desc.Format, desc.Width, desc.Height);
  if (!layout) {
    if (desc.Width == 0 || desc.Height == 0 || desc.Width > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION ||
        desc.Height > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION) {
      return "size " + SizeText(desc) + " outside 1.." + std::to_string(D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION);
    }
    return "NV12 needs an even width and height, not " + SizeText(desc);
  }
  if (desc.MipLevels != 1) return "MipLevels " + std::to_string(desc.MipLevels) + " (only 1 is offered)";
  if (desc.ArraySize != 1) return "ArraySize " + std::to_string(desc.ArraySize) + " (only 1 is offered)";
  if (desc.SampleDesc.Count != 1 || desc.SampleDesc.Quality != 0) {
    return "SampleDesc " + std::to_string(desc.SampleDesc.Count) + "/" + std::to_string(desc.SampleDesc.Quality) +
           " (only 1/0 is offered)";
  }
  if ((desc.BindFlags & ~kKnownBindFlags) != 0) return "unsupported BindFlags " + Hex(desc.BindFlags);
  if ((desc.CPUAccessFlags & ~kKnownCpuAccessFlags) != 0) return "unknown CPUAccessFlags " + Hex(desc.CPUAccessFlags);
  if ((desc.MiscFlags & ~kKnownMiscFlags) != 0) return "unsupported MiscFlags " + Hex(desc.MiscFlags);
  switch (desc.Usage) {
    case D3D11_USAGE_DEFAULT:
      if (desc.CPUAccessFlags != 0) return "default usage with CPUAccessFlags " + Hex(desc.CPUAccessFlags);
      break;
    case D3D11_USAGE_IMMUTABLE:
      if (desc.CPUAccessFlags != 0) return "immutable usage with CPUAccessFlags " + Hex(desc.CPUAccessFlags);
      if (initialData == nullptr) return "immutable usage without initial data";
      break;
    case D3D11_USAGE_STAGING:
      if (desc.CPUAccessFlags == 0) return "staging usage without CPUAccessFlags";
      if (desc.BindFlags != 0) return "staging usage with BindFlags " + Hex(desc.BindFlags);
      if (desc.MiscFlags != 0) return "staging usage with MiscFlags " + Hex(desc.MiscFlags);
      break;
    case D3D11_USAGE_DYNAMIC:
      return "dynamic usage is not offered";
    default:
      return "unknown Usage " + std::to_string(desc.Usage);
  }
  if (initialData != nullptr) {
    if (initialData->pSysMem == nullptr) return "initial data with a null pSysMem";
    if (initialData->SysMemPitch < layout->RowBytes()) {
      return "SysMemPitch " + std::to_string(initialData->SysMemPitch) + " below the row's " +
             std::to_string(layout->RowBytes()) + " bytes";
    }
  }
  return {};
}

// Copies the source rows (SysMemPitch apart, every plane following the previous one's rows)
// into the texture's padded rows.
void FillFromInitialData(uint8_t* bytes, const TextureLayout& layout, const D3D11_SUBRESOURCE_DATA& data) {
  const auto* source = static_cast<const uint8_t*>(data.pSysMem);
  for (int p = 0; p < layout.PlaneCount(); ++p) {
    const TextureLayout::Plane& plane = layout.PlaneAt(p);
    for (UINT row = 0; row < plane.rows; ++row) {
      std::memcpy(bytes + plane.offset + static_cast<std::size_t>(row) * layout.RowPitch(), source,
                  plane.rowBytes);
      source += data.SysMemPitch;
    }
  }
}

}  // namespace

Device::Device() : core_(std::make_shared<DeviceCore>()), context_(MakeComObject<DeviceContext>(core_)) {}

Device::~Device() = default;

HRESULT Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC* pDesc, const D3D11_SUBRESOURCE_DATA* pInitialData,
                                ID3D11Texture2D** ppTexture2D) {
  if (ppTexture2D != nullptr) *ppTexture2D = nullptr;
  if (pDesc == nullptr) {
    core_->Reject("CreateTexture2D: null description");
    return E_INVALIDARG;
  }
  std::optional<TextureLayout> layout;
  std::string why = CheckDescription(*pDesc, pInitialData, layout);
  if (!why.empty()) {
    core_->Reject("CreateTexture2D: " + why);
    return E_INVALIDARG;
  }
  if (ppTexture2D == nullptr) return S_FALSE;

  Texture2D::Bytes bytes(static_cast<uint8_t*>(std::aligned_alloc(TextureLayout::kPitchAlignment, layout->DepthPitch())));
  if (!bytes) return E_OUTOFMEMORY;
  // Zeroed, padding included, so that no earlier allocation's bytes ever show through a Map or
  // a file written from one.
  std::memset(bytes.get(), 0, layout->DepthPitch());
  if (pInitialData != nullptr) FillFromInitialData(bytes.get(), *layout, *pInitialData);

  try {
    ComPtr<Texture2D> texture = MakeComObject<Texture2D>(core_, *pDesc, *layout, std::move(bytes));
    *ppTexture2D = texture.Detach();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void Device::GetImmediateContext(ID3D11DeviceContext** ppImmediateContext) {
  if (ppImmediateContext == nullptr) return;
  ComPtr<ID3D11DeviceContext> context = context_;
  *ppImmediateContext = context.Detach();
}

}  // namespace korvane::d3d11

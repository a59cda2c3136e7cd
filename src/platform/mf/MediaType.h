// A media type (MFCreateMediaType): an attribute bag with the media-type conveniences.
#pragma once

#include "platform/mf/AttributesOn.h"

namespace korvane::mf {

class MediaType final : public AttributesOn<IMFMediaType> {
 public:
  MediaType() = default;

  HRESULT GetMajorType(GUID* majorType) override;
  HRESULT IsCompressedFormat(BOOL* compressed) override;
};

}  // namespace korvane::mf

// A plain attribute bag (MFCreateAttributes).
#pragma once

#include "platform/mf/AttributesOn.h"

namespace korvane::mf {

class Attributes final : public AttributesOn<IMFAttributes> {
 public:
  Attributes() = default;
};

}  // namespace korvane::mf

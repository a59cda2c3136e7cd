// InMemoryRandomAccessStreamFactory: the activation factory of
// "Windows.Storage.Streams.InMemoryRandomAccessStream", as RoGetActivationFactory hands it out.
// Stateless and agile; ActivateInstance makes a new empty stream and returns its
// IRandomAccessStream as IInspectable.
#pragma once

#include "platform/com/RuntimeClass.h"

namespace korvane::winrt {

class InMemoryRandomAccessStreamFactory final : public RuntimeClass<com::kPlainRuntimeClass, IActivationFactory> {
 public:
  HRESULT ActivateInstance(IInspectable** instance) override;

 protected:
  const char* RuntimeClassNameText() const override;
};

}  // namespace korvane::winrt

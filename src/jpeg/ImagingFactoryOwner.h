// ImagingFactoryOwner: the one member of a JpegEncoder, the imaging factory, made the way the
// encoder's construction requires: CoCreateInstanceFromApp for CLSID_WICImagingFactory2 asking
// for IWICImagingFactory and, if that fails, the same for CLSID_WICImagingFactory.
//
// It is a base class of JpegEncoder, listed before the runtime-class base, so that the factory
// is made before the object counts as a live object of the module: a construction that throws
// then leaves the module's count untouched.
//
// The factory is created once and shared, without a lock, by every encode the object runs
// (it is stateless); it is released with the object.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/wic/Wincodec.h"

namespace korvane {

class ImagingFactoryOwner {
 protected:
  // Throws the platform exception for the second attempt's failing HRESULT (the call's own if
  // it failed, else its MULTI_QI entry's) when neither class id gives a factory.
  ImagingFactoryOwner();
  ~ImagingFactoryOwner() = default;

  const ComPtr<IWICImagingFactory>& ImagingFactory() const { return factory_; }

 private:
  ComPtr<IWICImagingFactory> factory_;
};

}  // namespace korvane

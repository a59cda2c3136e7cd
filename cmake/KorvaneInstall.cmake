# Installs what applications build against: libKorvane.Native.so as the imported target
# Korvane::Native (find_package(Korvane)), a korvane.pc for pkg-config, and the public headers
# with the platform and toolkit headers they include, all under include/korvane (which is the
# include directory: `#include "korvane/Korvane.hpp"`).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KORVANE_VERSION 0.1.0)
set(KORVANE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/korvane)
set(KORVANE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Korvane)

set_target_properties(Korvane.Native PROPERTIES EXPORT_NAME Native)
target_compile_features(Korvane.Native INTERFACE cxx_std_20)
install(TARGETS Korvane.Native EXPORT KorvaneTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The public headers and, keeping their paths, the platform headers they include (an include
# that is not listed here fails the installed example's build).
install(DIRECTORY include/korvane DESTINATION ${KORVANE_INSTALL_INCLUDEDIR})
foreach(header
    platform/com/ComObject.h platform/com/ComPtr.h platform/com/Exceptions.h platform/com/Guid.h
    platform/com/HString.h platform/com/Hresult.h platform/com/Stream.h platform/com/Unknown.h
    platform/com/WinRtInterfaces.h platform/d3d11/D3D11.h platform/winrt/AsyncInterfaces.h
    platform/winrt/Callback.h platform/winrt/EventSource.h platform/winrt/RandomAccessStream.h
    platform/winrt/TypeIid.h toolkit/IVideoDecoder.h toolkit/VideoDecoderFrameUpdated.h)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES src/${header} DESTINATION ${KORVANE_INSTALL_INCLUDEDIR}/${folder})
endforeach()

install(EXPORT KorvaneTargets NAMESPACE Korvane:: FILE KorvaneTargets.cmake DESTINATION ${KORVANE_INSTALL_CMAKEDIR})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/KorvaneConfig.cmake
     "include(\"\${CMAKE_CURRENT_LIST_DIR}/KorvaneTargets.cmake\")\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KorvaneConfigVersion.cmake
                                 VERSION ${KORVANE_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KorvaneConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/KorvaneConfigVersion.cmake
        DESTINATION ${KORVANE_INSTALL_CMAKEDIR})

configure_file(cmake/korvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

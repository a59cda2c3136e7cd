# Run by ctest as a script (cmake -DROOT=<source folder> -P this file). Fails, naming each file
# and line, when a component source includes a header of FFmpeg, libjpeg(-turbo) or POSIX, or
# when a platform source includes a component header. Keeping FFmpeg's include paths private to
# the platform's media target cannot catch such an include on its own: Debian installs those
# headers in the compiler's default search path.
cmake_minimum_required(VERSION 3.25)

set(component_folders module decoder cache interop jpeg)
set(platform_folders platform toolkit)
set(foreign_headers
    "lib(avcodec|avformat|avutil|avfilter|avdevice|swscale|swresample)/|turbojpeg\\.h|jpeglib\\.h|jerror\\.h|unistd\\.h|pthread\\.h|fcntl\\.h|dirent\\.h|dlfcn\\.h|sys/")
set(component_headers "(module|decoder|cache|interop|jpeg)/")

set(problems "")
function(check_folders folders pattern)
  foreach(folder IN LISTS folders)
    file(GLOB_RECURSE sources "${ROOT}/src/${folder}/*.h" "${ROOT}/src/${folder}/*.cpp")
    foreach(source IN LISTS sources)
      file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](${pattern})")
      foreach(line IN LISTS lines)
        file(RELATIVE_PATH name "${ROOT}" "${source}")
        list(APPEND problems "${name}: ${line}")
      endforeach()
    endforeach()
  endforeach()
  set(problems "${problems}" PARENT_SCOPE)
endfunction()

check_folders("${component_folders}" "${foreign_headers}")
check_folders("${platform_folders}" "${component_headers}")
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "Includes across the component/platform seam:\n  ${text}")
endif()

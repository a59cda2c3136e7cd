# Run by ctest as a script: installs the build into a fresh prefix, configures and builds
# examples/step_frames against it with find_package(Korvane), runs it on VIDEO and checks what
# it printed and wrote; also compiles a one-line program with the flags pkg-config gives.
# Arguments: -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DVIDEO= -DCXX= -DCXX_FLAGS=
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed lib/cmake/Korvane/KorvaneConfig.cmake lib/pkgconfig/korvane.pc include/korvane/korvane/Korvane.hpp
                  include/korvane/platform/com/ComPtr.h)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# pkg-config finds the relocated prefix from the .pc file's own place.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(pkg-config --cflags --libs korvane)
separate_arguments(pkg_flags UNIX_COMMAND "${out}")
file(WRITE ${WORK_DIR}/pc.cpp "#include <korvane/Korvane.hpp>\nint main() { return DllCanUnloadNow() == S_OK ? 0 : 1; }\n")
run(${CXX} -std=c++20 ${CXX_FLAGS} ${WORK_DIR}/pc.cpp ${pkg_flags} -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/pc)
run(${WORK_DIR}/pc)

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/step_frames -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_BUILD_TYPE=Debug)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/step_frames ${VIDEO} ${WORK_DIR}/frame.jpg ${WORK_DIR}/cache)
message(STATUS "${out}")

string(REGEX MATCHALL "frame at [0-9.]+ s" frames "${out}")
list(LENGTH frames count)
set(distinct ${frames})
list(REMOVE_DUPLICATES distinct)
list(LENGTH distinct distinctCount)
if(NOT count EQUAL 11 OR NOT distinctCount EQUAL 11)
  message(FATAL_ERROR "expected the middle frame and 10 steps back, each a different frame:\n${out}")
endif()
file(SIZE ${WORK_DIR}/frame.jpg size)
file(READ ${WORK_DIR}/frame.jpg magic LIMIT 2 HEX)
if(size LESS 100 OR NOT magic STREQUAL "ffd8")
  message(FATAL_ERROR "frame.jpg is not a JPEG (${size} bytes, starting ${magic})")
endif()

# find_package(OpenCV 4 COMPONENTS core features2d ...) where OpenCV's own
# CMake package may be missing. Debian installs OpenCVConfig.cmake only with
# the libopencv-dev metapackage, which brings every module and VTK; the
# per-module packages (libopencv-core-dev, ...) have the headers and
# libraries alone. So OpenCV's package is taken where there is one (the
# static builds of scripts/opencv_build.sh for Windows and WebAssembly, found
# below their prefix or through OpenCV_DIR; it links what each static module
# needs: imgproc and flann where built, zlib), and otherwise the headers and
# the libraries of the components are looked for by name. Either way the
# components are the targets opencv_<component>, listed in OpenCV_LIBS.
find_package(OpenCV ${OpenCV_FIND_VERSION} CONFIG QUIET COMPONENTS ${OpenCV_FIND_COMPONENTS})
if(OpenCV_FOUND)
  include(FindPackageHandleStandardArgs)
  find_package_handle_standard_args(OpenCV CONFIG_MODE)
  return()
endif()

find_path(OpenCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
if(OpenCV_INCLUDE_DIR AND EXISTS ${OpenCV_INCLUDE_DIR}/opencv2/core/version.hpp)
  file(STRINGS ${OpenCV_INCLUDE_DIR}/opencv2/core/version.hpp _opencv_version_lines
       REGEX "^#define CV_VERSION_(MAJOR|MINOR|REVISION) +[0-9]+")
  foreach(_part MAJOR MINOR REVISION)
    string(REGEX REPLACE ".*CV_VERSION_${_part} +([0-9]+).*" "\\1" _opencv_${_part} "${_opencv_version_lines}")
  endforeach()
  set(OpenCV_VERSION ${_opencv_MAJOR}.${_opencv_MINOR}.${_opencv_REVISION})
endif()

# What each module calls in those before it in this order (flann is optional
# to features2d). A shared library names them itself; a static one found here
# gets them, and core its zlib, as link dependencies.
set(_opencv_order core imgproc flann features2d calib3d)
set(_opencv_needs_imgproc core)
set(_opencv_needs_flann core)
set(_opencv_needs_features2d imgproc flann core)
set(_opencv_needs_calib3d features2d flann imgproc core)
set(_opencv_wanted ${OpenCV_FIND_COMPONENTS})
foreach(_module IN LISTS OpenCV_FIND_COMPONENTS)
  list(APPEND _opencv_wanted ${_opencv_needs_${_module}})
endforeach()
list(REMOVE_DUPLICATES _opencv_wanted)
foreach(_module IN LISTS _opencv_wanted)
  find_library(OpenCV_${_module}_LIBRARY opencv_${_module})
  if(OpenCV_${_module}_LIBRARY AND OpenCV_INCLUDE_DIR AND EXISTS ${OpenCV_INCLUDE_DIR}/opencv2/${_module}.hpp)
    set(OpenCV_${_module}_FOUND TRUE)
  endif()
endforeach()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCV REQUIRED_VARS OpenCV_INCLUDE_DIR VERSION_VAR OpenCV_VERSION
                                  HANDLE_COMPONENTS)
if(OpenCV_FOUND)
  set(OpenCV_INCLUDE_DIRS ${OpenCV_INCLUDE_DIR})
  set(OpenCV_LIBS "")
  foreach(_module IN LISTS _opencv_order)
    if(OpenCV_${_module}_FOUND AND NOT TARGET opencv_${_module})
      add_library(opencv_${_module} UNKNOWN IMPORTED)
      set_target_properties(opencv_${_module} PROPERTIES IMPORTED_LOCATION ${OpenCV_${_module}_LIBRARY}
                                                         INTERFACE_INCLUDE_DIRECTORIES ${OpenCV_INCLUDE_DIR})
      if(OpenCV_${_module}_LIBRARY MATCHES "${CMAKE_STATIC_LIBRARY_SUFFIX}$")
        foreach(_need IN LISTS _opencv_needs_${_module})
          if(TARGET opencv_${_need})
            set_property(TARGET opencv_${_module} APPEND PROPERTY INTERFACE_LINK_LIBRARIES opencv_${_need})
          endif()
        endforeach()
        if(_module STREQUAL "core")
          find_package(ZLIB REQUIRED)
          set_property(TARGET opencv_core APPEND PROPERTY INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
        endif()
      endif()
    endif()
    if(TARGET opencv_${_module} AND _module IN_LIST OpenCV_FIND_COMPONENTS)
      list(APPEND OpenCV_LIBS opencv_${_module})
    endif()
  endforeach()
endif()

# OpenCV, for the alignment of mpoalign: Debian's 4.6 on Linux. Debian ships
# each module's headers and library in its own -dev package, and the CMake
# package of OpenCV only with the whole libopencv-dev (which brings VTK and
# Qt); so where no CMake package is found, the modules are found by their
# files. A build of OpenCV that installs its CMake package (the Windows and
# WebAssembly ones) is used through it.
#   stereo_opencv_modules(core features2d ...) defines StereoOpenCV::<module>
# for each module found and sets STEREO_OPENCV_FOUND when all are.
function(stereo_opencv_modules)
  set(STEREO_OPENCV_FOUND TRUE PARENT_SCOPE)
  find_package(OpenCV 4 QUIET COMPONENTS ${ARGN})
  if(OpenCV_FOUND)
    foreach(module IN LISTS ARGN)
      if(NOT TARGET StereoOpenCV::${module})
        add_library(StereoOpenCV::${module} INTERFACE IMPORTED GLOBAL)
        target_link_libraries(StereoOpenCV::${module} INTERFACE opencv_${module})
      endif()
    endforeach()
    return()
  endif()
  find_path(STEREO_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
  foreach(module IN LISTS ARGN)
    if(TARGET StereoOpenCV::${module})
      continue()
    endif()
    find_library(STEREO_OPENCV_${module}_LIBRARY opencv_${module})
    if(NOT STEREO_OPENCV_INCLUDE_DIR OR NOT STEREO_OPENCV_${module}_LIBRARY
       OR NOT EXISTS ${STEREO_OPENCV_INCLUDE_DIR}/opencv2/${module}.hpp)
      set(STEREO_OPENCV_FOUND FALSE PARENT_SCOPE)
      continue()
    endif()
    add_library(StereoOpenCV::${module} UNKNOWN IMPORTED GLOBAL)
    set_target_properties(StereoOpenCV::${module} PROPERTIES
      IMPORTED_LOCATION ${STEREO_OPENCV_${module}_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${STEREO_OPENCV_INCLUDE_DIR})
  endforeach()
endfunction()

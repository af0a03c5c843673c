# Installs a built tree the way a packager does (DESTDIR and prefix /usr) into
# a fresh folder, then checks what landed there and runs the installed
# programs: the programs and their pages, and nothing else.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DSAMPLE=.../garden.mpo -DVERSION=x.y.z "-DPROGRAMS=a;b" -P install_check.cmake
foreach(variable BUILD_DIR WORK_DIR SAMPLE VERSION PROGRAMS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(programs ${PROGRAMS})
set(root ${WORK_DIR}/root)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${root} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${output}")
endif()

# Exactly the expected files, so that neither a helper program nor a test
# library slips into an installation, nor the files that only the Debian
# package carries (its compressed pages, copyright, changelog and lintian
# overrides).
file(GLOB_RECURSE installed RELATIVE ${root} ${root}/*)
set(expected)
foreach(program IN LISTS programs)
  list(APPEND expected usr/bin/${program} usr/share/man/man1/${program}.1)
endforeach()
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed files:\n  ${installed}\nexpected:\n  ${expected}")
endif()

foreach(program IN LISTS programs)
  file(READ ${root}/usr/share/man/man1/${program}.1 page)
  string(FIND "${page}" "stereo-mpo-tools ${VERSION}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the installed page of ${program} does not show version ${VERSION}")
  endif()

  # With no arguments a program prints only its banner and succeeds.
  string(TOUPPER ${program} name)
  execute_process(COMMAND ${root}/usr/bin/${program} RESULT_VARIABLE status OUTPUT_VARIABLE output)
  string(FIND "${output}" "****  ${name}   " at)
  if(NOT status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "installed ${program} without arguments: status ${status}, output:\n${output}")
  endif()
endforeach()

# One real conversion, which needs the installed program to find its libraries.
file(COPY ${SAMPLE} DESTINATION ${WORK_DIR}/photos)
get_filename_component(sample_name ${SAMPLE} NAME_WE)
execute_process(COMMAND ${root}/usr/bin/korventale ${WORK_DIR}/photos/${sample_name}.mpo
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT EXISTS ${WORK_DIR}/photos/${sample_name}_dub.jpg OR NOT errors STREQUAL "")
  message(FATAL_ERROR "installed korventale on the sample: status ${status}, output:\n${output}${errors}")
endif()

file(REMOVE_RECURSE ${WORK_DIR})

# What a Windows build adds: a resource in each program (manifest and version
# record), the manual pages as plain text, and one flat folder for the ZIP
# (`cpack -G ZIP`): the programs, their pages, README.txt and LICENSE.txt side
# by side. Included from the top CMakeLists.txt when building for Windows.
enable_language(RC)
set(STEREO_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR})

# A ZIP unpacks into one folder, so everything is installed at its top.
set(CMAKE_INSTALL_BINDIR .)

# The README and the licence as text files with CR LF line ends, as the pages:
# Notepad opens a .txt file on a double-click, and older versions of it show
# LF line ends as one long line. Written again whenever the sources change.
function(stereo_install_text source name)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name} "${text}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name} DESTINATION .)
endfunction()
stereo_install_text(${PROJECT_SOURCE_DIR}/README.md README.txt)
stereo_install_text(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt)

# CPack calls every MinGW build win32 (it looks for MSVC's 64-bit flag).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME win32)
endif()

# Adds to program `tool` a resource configured from tool.rc.in: the application
# manifest and the version record that Explorer shows under Properties.
function(stereo_windows_resource tool)
  # FILEVERSION takes four numbers; project(VERSION) may give fewer.
  set(numbers ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
  list(APPEND numbers 0 0 0 0)
  list(SUBLIST numbers 0 4 numbers)
  string(REPLACE ";" "," RC_VERSION_NUMBERS "${numbers}")
  set(RC_TOOL ${tool})
  set(RC_MANIFEST ${STEREO_WINDOWS_DIR}/tool.manifest)
  configure_file(${STEREO_WINDOWS_DIR}/tool.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${tool}.rc @ONLY)
  target_sources(${tool} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${tool}.rc)
  # windres sees the manifest only through the .rc file.
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${tool}.rc PROPERTIES OBJECT_DEPENDS ${RC_MANIFEST})
endfunction()

find_program(GROFF_PROGRAM groff)
if(NOT GROFF_PROGRAM)
  message(FATAL_ERROR "groff renders the manual pages for Windows: install groff-base")
endif()

# Windows has no man: the configured man(7) page `source` is rendered as
# plain ASCII text with CRLF line ends, which every Windows editor shows, and
# installed as `page`.txt.
function(stereo_install_page_as_text source page)
  set(text ${CMAKE_CURRENT_BINARY_DIR}/${page}.txt)
  add_custom_command(
    OUTPUT ${text}
    COMMAND ${CMAKE_COMMAND} -DGROFF=${GROFF_PROGRAM} -DPAGE=${source} -DOUTPUT=${text} -P
            ${STEREO_WINDOWS_DIR}/render_page.cmake
    DEPENDS ${source} ${STEREO_WINDOWS_DIR}/render_page.cmake
    COMMENT "Rendering ${page}.txt")
  add_custom_target(${page}_page_text ALL DEPENDS ${text})
  install(FILES ${text} DESTINATION .)
endfunction()

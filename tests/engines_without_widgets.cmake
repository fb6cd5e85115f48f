# Checks that no engine source file includes a Qt Widgets header, so that the
# engines build and run with Qt Core alone. Engines are every file of
# src/common, src/dicom, src/scan and src/session, and the files of
# src/settings, src/worklist and src/delivery that are not dialogs (dialogs are
# named *_dialog.*). A widget header is <QtWidgets/...>, <QtWidgets>, or any
# header named Q... that Qt Widgets installs (QWidget, QDialog, QLabel, ...).
# Run as: cmake -DSOURCE_DIR=src -DWIDGETS_INCLUDE_DIR=<.../qt6/QtWidgets> -P engines_without_widgets.cmake
cmake_minimum_required(VERSION 3.25)
get_filename_component(SOURCE_DIR "${SOURCE_DIR}" ABSOLUTE)
set(engine_folders common dicom scan session)
set(folders_with_dialogs settings worklist delivery)

file(GLOB widget_headers RELATIVE ${WIDGETS_INCLUDE_DIR} ${WIDGETS_INCLUDE_DIR}/Q*)
# Without this, a wrong include folder would let every file pass.
if(NOT "QWidget" IN_LIST widget_headers OR NOT "QDialog" IN_LIST widget_headers)
  message(FATAL_ERROR "No Qt Widgets headers found in \"${WIDGETS_INCLUDE_DIR}\"")
endif()

set(violations "")
set(engine_count 0)
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.h)
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" folder "${source}")
  get_filename_component(name "${source}" NAME)
  if(NOT (folder IN_LIST engine_folders OR (folder IN_LIST folders_with_dialogs AND NOT name MATCHES "_dialog\\.")))
    continue()
  endif()
  math(EXPR engine_count "${engine_count} + 1")
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "[<\"]([^>\"]+)[>\"]" _ "${line}")
    set(header "${CMAKE_MATCH_1}")
    if(header MATCHES "^QtWidgets(/|$)" OR header IN_LIST widget_headers)
      string(STRIP "${line}" line)
      list(APPEND violations "${source}: ${line}")
    endif()
  endforeach()
endforeach()

if(engine_count EQUAL 0)
  message(FATAL_ERROR "No engine files found in \"${SOURCE_DIR}\"")
endif()
if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Engine files that include a Qt Widgets header:\n  ${text}")
endif()
message(STATUS "${engine_count} engine files of src/ include no Qt Widgets header")

# The tool's copy of the system world's settings table, made from the same rows the native code is
# built from, so the doctor lists exactly what the library reads. One row a line, tab-separated:
# variable, default, parser, whether it widens trust, meaning.
set(settings_rows ${CMAKE_CURRENT_SOURCE_DIR}/winapi/src/system/host/settings.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${settings_rows})
file(STRINGS ${settings_rows} settings_lines REGEX "^SETTING\\(")
set(settings_table "")
foreach(line IN LISTS settings_lines)
  if(NOT line MATCHES "^SETTING\\([A-Za-z0-9]+, \"([^\"]+)\", \"([^\"]*)\", ([A-Za-z]+), (true|false), \"(.*)\"\\)$")
    message(FATAL_ERROR "settings.def: a row the tool cannot read: ${line}")
  endif()
  string(REPLACE "\\\\" "\\" meaning "${CMAKE_MATCH_5}")
  string(APPEND settings_table "${CMAKE_MATCH_1}\t${CMAKE_MATCH_2}\t${CMAKE_MATCH_3}\t${CMAKE_MATCH_4}\t${meaning}\n")
endforeach()
set(QUENTREL_SETTINGS_TABLE ${CMAKE_BINARY_DIR}/jar/resources/settings.tsv)
file(CONFIGURE OUTPUT ${QUENTREL_SETTINGS_TABLE} CONTENT "${settings_table}" @ONLY)

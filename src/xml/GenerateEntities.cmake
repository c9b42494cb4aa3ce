# The entity table of the XML document, generated from html-entities.tsv (name<TAB>number).
#
# Included from src/CMakeLists.txt, this file sets up the step that writes
# generated/xml/XmlEntityTable.inc whenever the list or this script changes; run with
# "cmake -DENTITIES_TSV=<list> -DENTITIES_INC=<output> -P GenerateEntities.cmake" it does the
# writing: one {"name", number} initialiser per line, sorted by name in byte order so that the
# lookup can search it by halving.

if(CMAKE_SCRIPT_MODE_FILE)
  file(STRINGS "${ENTITIES_TSV}" lines ENCODING UTF-8)
  set(records "")
  foreach(line IN LISTS lines)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^([A-Za-z0-9]+)\t([0-9]+)$")
      message(FATAL_ERROR "${ENTITIES_TSV}: malformed line '${line}'")
    endif()
    # The tab sorts before every name byte, so "sup" comes before "sup1".
    list(APPEND records "${CMAKE_MATCH_1}\t${CMAKE_MATCH_2}")
  endforeach()
  list(SORT records COMPARE STRING CASE SENSITIVE)
  list(LENGTH records count)
  if(NOT count EQUAL 253)
    message(FATAL_ERROR "${ENTITIES_TSV}: ${count} entities, expected 253")
  endif()
  set(content "// Generated from html-entities.tsv by GenerateEntities.cmake. Do not edit.\n")
  set(previous "")
  foreach(record IN LISTS records)
    string(REPLACE "\t" ";" fields "${record}")
    list(GET fields 0 name)
    list(GET fields 1 number)
    if(name STREQUAL previous)
      message(FATAL_ERROR "${ENTITIES_TSV}: '${name}' listed twice")
    endif()
    set(previous "${name}")
    string(APPEND content "{\"${name}\", ${number}},\n")
  endforeach()
  get_filename_component(directory "${ENTITIES_INC}" DIRECTORY)
  file(MAKE_DIRECTORY "${directory}")
  file(WRITE "${ENTITIES_INC}.tmp" "${content}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${ENTITIES_INC}.tmp"
                          "${ENTITIES_INC}")
  file(REMOVE "${ENTITIES_INC}.tmp")
  return()
endif()

set(ZEMA_XML_ENTITIES_TSV ${CMAKE_CURRENT_LIST_DIR}/html-entities.tsv)
set(ZEMA_XML_ENTITY_TABLE ${CMAKE_CURRENT_BINARY_DIR}/generated/xml/XmlEntityTable.inc)
add_custom_command(
  OUTPUT ${ZEMA_XML_ENTITY_TABLE}
  COMMAND ${CMAKE_COMMAND} -DENTITIES_TSV=${ZEMA_XML_ENTITIES_TSV}
          -DENTITIES_INC=${ZEMA_XML_ENTITY_TABLE} -P ${CMAKE_CURRENT_LIST_FILE}
  DEPENDS ${ZEMA_XML_ENTITIES_TSV} ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Generating the XML entity table"
  VERBATIM)
target_sources(zema_xml PRIVATE ${ZEMA_XML_ENTITY_TABLE})
target_include_directories(zema_xml PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)

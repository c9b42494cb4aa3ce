# Checks that the internal library of the tool (ARCHIVE) defines none of the symbols that the
# shared library (LIBRARY) exports: a program that links both must call the exported functions
# of the shared library, not a second copy of them with state of its own.
cmake_minimum_required(VERSION 3.18)
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE exported RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
execute_process(COMMAND nm --defined-only ${ARCHIVE} OUTPUT_VARIABLE internal RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${ARCHIVE}")
endif()

# Lines are "<address> <type> <name>"; an upper-case type is a global definition.
string(REGEX MATCHALL "[0-9a-f]+ [A-Z] [^\n]+" exported_lines "${exported}")
string(REGEX MATCHALL "[0-9a-f]+ [A-Z] [^\n]+" internal_lines "${internal}")
set(internal_names)
foreach(line ${internal_lines})
  string(REGEX REPLACE "^[0-9a-f]+ [A-Z] " "" name "${line}")
  list(APPEND internal_names "${name}")
endforeach()
list(LENGTH exported_lines exported_count)
list(LENGTH internal_names internal_count)
if(exported_count EQUAL 0 OR internal_count EQUAL 0)
  message(FATAL_ERROR "no symbols read (${exported_count} exported, ${internal_count} internal)")
endif()

foreach(line ${exported_lines})
  string(REGEX REPLACE "^[0-9a-f]+ [A-Z] " "" name "${line}")
  if(name IN_LIST internal_names)
    message(FATAL_ERROR "the internal library defines the exported ${name}")
  endif()
endforeach()
message(STATUS "internal library ok: ${internal_count} definitions, none of the ${exported_count} exports")

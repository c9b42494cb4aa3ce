# Checks every #include line of a source tree against the layers of the library.
#
#   cmake -DROOT=<folder holding src/ and include/> -P CheckIncludes.cmake
#
# Each file of src/ belongs to the layer of its folder; a quoted include names a file of the
# public include/ folder, of the toolkit stand-in (halvkit.h) or of a layer (its first path
# part; platform/ado/ is a layer of its own). Fails, listing every offending line, when a file
# includes a layer it may not use, a quoted header that belongs to no layer, or a system
# header that the platform wraps from above the platform. The rule is the one written in
# src/CMakeLists.txt:
set(allowed_platform platform public)
set(allowed_platform_ado platform_ado platform public)
set(allowed_xml xml platform public)
set(allowed_dbaccess dbaccess platform_ado platform public)
set(allowed_tagdb tagdb dbaccess xml platform public)
set(allowed_catalogue catalogue tagdb dbaccess xml platform halvkit public)
set(allowed_module module catalogue tagdb dbaccess xml platform public)
set(allowed_halvkit halvkit platform)
set(allowed_public public)
# System headers that only the platform (where the stand-ins wrap them) may include.
set(wrapped_headers sqlite3.h iconv.h libpq-fe.h mdbtools.h mdbsql.h)

if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<folder> -P CheckIncludes.cmake")
endif()

# The layer of a path relative to src/ (or of a quoted include).
function(layer_of path result)
  if(path MATCHES "^platform/ado/")
    set(layer platform_ado)
  elseif(path MATCHES "^(platform|xml|dbaccess|tagdb|catalogue|module|halvkit)/")
    set(layer ${CMAKE_MATCH_1})
  elseif(path STREQUAL "halvkit.h")
    set(layer halvkit)
  elseif(EXISTS "${ROOT}/include/${path}")
    set(layer public)
  else()
    set(layer unknown)
  endif()
  set(${result} ${layer} PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources RELATIVE "${ROOT}/src" "${ROOT}/src/*.h" "${ROOT}/src/*.cpp"
     "${ROOT}/src/*.inc")
file(GLOB_RECURSE public_headers RELATIVE "${ROOT}" "${ROOT}/include/*.h")
set(files)
foreach(source IN LISTS sources)
  list(APPEND files "src/${source}")
endforeach()
list(APPEND files ${public_headers})

set(violations "")
set(checked 0)
foreach(file IN LISTS files)
  if(file MATCHES "^include/")
    set(from public)
  else()
    string(REGEX REPLACE "^src/" "" inside "${file}")
    layer_of("${inside}" from)
  endif()
  if(from STREQUAL "unknown")
    string(APPEND violations "  ${file}: a file outside every layer\n")
    continue()
  endif()
  file(STRINGS "${ROOT}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line IN LISTS lines)
    math(EXPR checked "${checked} + 1")
    if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
      set(target "${CMAKE_MATCH_1}")
      layer_of("${target}" to)
      if(to STREQUAL "unknown" AND EXISTS "${ROOT}/${file}/../${target}")
        set(to ${from})  # a file beside the includer
      endif()
      list(FIND allowed_${from} ${to} found)
      if(found EQUAL -1)
        string(APPEND violations "  ${file}: ${from} may not include \"${target}\" (${to})\n")
      endif()
    elseif(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
      list(FIND wrapped_headers "${CMAKE_MATCH_1}" wrapped)
      if(NOT wrapped EQUAL -1 AND NOT from MATCHES "^platform")
        string(APPEND violations
               "  ${file}: <${CMAKE_MATCH_1}> is wrapped by the platform; ${from} may not use it\n")
      endif()
    endif()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no #include line found under ${ROOT}/src")
endif()
if(NOT violations STREQUAL "")
  message(FATAL_ERROR "includes that break the layers:\n${violations}")
endif()
message(STATUS "${checked} #include lines follow the layers")

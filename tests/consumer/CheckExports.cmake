# Checks the dynamic symbol table of the shared library.
execute_process(COMMAND nm -D --defined-only -C ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

set(required
  "CZEMATagAcs::Instance()" "CZEMATagAcs::Release()" "CZEMAConfigAcs::Open(char const*)"
  "CZEMAConfigAcs::Close()" "typeinfo for CZEMATagAcs" "typeinfo for CZEMAConfigAcs"
  "typeinfo for PlatformError"
  "ZemaBeginBatch(CZEMAConfigAcs*)" "ZemaCommitBatch(CZEMAConfigAcs*)"
  "ZemaRollbackBatch(CZEMAConfigAcs*)" "ZemaLastError(char*, int)"
  " VariantInit" " VariantClear" " VariantCopy" " VariantChangeType" " SysAllocString"
  " SysAllocStringLen" " SysFreeString" " SysStringLen" " ZemaConfigGeneration")
foreach(name ${required})
  string(FIND "${symbols}" "${name}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing export: ${name}")
  endif()
endforeach()

# Nothing of the layers below: no data-access classes, no SQLite, no platform functions.
set(forbidden "sqlite3_" "CADODataBase" "CADORecordset" "CXmlDocument" "CoCreateInstance"
  "MultiByteToWideChar" "AfxIsValidAddress" "CZEMATagImpl" "FaultCheck" "crt::" "std::")
foreach(name ${forbidden})
  string(FIND "${symbols}" "${name}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "unexpected export containing ${name}")
  endif()
endforeach()
message(STATUS "exports ok")

# Delay-loaded system DLLs for a program: a later start of tolva.exe only hands its
# arguments over and ends, and under Wine every DLL in the import table is loaded and
# started before main (the window's DLLs cost about 20 ms of each such start). Each
# DLL named here gets a delay-import library called like the system's one (libNAME.a)
# in a folder searched before the system's, so `-lNAME` from any library of the
# program resolves to it; the DLL is then loaded at its first call.
#
# tolva_delay_load(TARGET dll...)
function(tolva_delay_load target)
  if(NOT CMAKE_DLLTOOL OR NOT CMAKE_NM)
    message(WARNING "No dlltool or nm: ${target} loads its DLLs at start")
    return()
  endif()
  set(folder ${CMAKE_CURRENT_BINARY_DIR}/${target}-delayload)
  set(outputs)
  foreach(dll IN LISTS ARGN)
    find_library(TOLVA_IMPORT_${dll} NAMES lib${dll}.a ${dll} NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH)
    if(NOT TOLVA_IMPORT_${dll})
      message(FATAL_ERROR "No import library for ${dll}")
    endif()
    # The functions the system's import library names, as a module definition.
    add_custom_command(
      OUTPUT ${folder}/lib${dll}.a
      COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DIMPORT=${TOLVA_IMPORT_${dll}} -DDLL=${dll}
              -DDEF=${folder}/${dll}.def -P ${PROJECT_SOURCE_DIR}/cmake/TolvaImportDef.cmake
      COMMAND ${CMAKE_DLLTOOL} --input-def ${folder}/${dll}.def --dllname ${dll}.dll
              --output-delaylib ${folder}/lib${dll}.a
      DEPENDS ${TOLVA_IMPORT_${dll}} ${PROJECT_SOURCE_DIR}/cmake/TolvaImportDef.cmake
      COMMENT "Delay-import library for ${dll}.dll"
      VERBATIM)
    list(APPEND outputs ${folder}/lib${dll}.a)
  endforeach()
  add_custom_target(${target}_delayload DEPENDS ${outputs})
  add_dependencies(${target} ${target}_delayload)
  target_link_directories(${target} BEFORE PRIVATE ${folder})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${outputs})
endfunction()

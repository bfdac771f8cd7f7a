# tolva_widl(<idl> TLB <out.tlb> [HEADER <out.h>])
# Compiles an IDL file into a type library (and optionally a C/C++ header) with
# mingw-w64's widl, importing the standard IDL files shipped with Wine.
find_program(TOLVA_WIDL NAMES x86_64-w64-mingw32-widl widl REQUIRED)
set(TOLVA_WIDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "Standard IDL imports")
set(TOLVA_WIDL_LIBPATH /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
    "Where stdole2.tlb is")

function(tolva_widl idl)
  cmake_parse_arguments(W "" "TLB;HEADER" "" ${ARGN})
  set(flags --win64 -I ${TOLVA_WIDL_INCLUDE} -L ${TOLVA_WIDL_LIBPATH})
  add_custom_command(OUTPUT ${W_TLB}
    COMMAND ${TOLVA_WIDL} ${flags} -t -o ${W_TLB} ${idl}
    DEPENDS ${idl} VERBATIM)
  if(W_HEADER)
    add_custom_command(OUTPUT ${W_HEADER}
      COMMAND ${TOLVA_WIDL} ${flags} -h -o ${W_HEADER} ${idl}
      DEPENDS ${idl} VERBATIM)
  endif()
endfunction()

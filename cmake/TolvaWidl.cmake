# tolva_widl(<idl> TLB <out.tlb> [HEADER <out.h>])
# Compiles an IDL file into a type library (and optionally a C/C++ header) with
# mingw-w64's widl, importing the standard IDL files shipped with Wine.
find_program(TOLVA_WIDL NAMES ${TOOLCHAIN_PREFIX}-widl x86_64-w64-mingw32-widl widl REQUIRED)
set(TOLVA_WIDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "Standard IDL imports")
set(TOLVA_WIDL_LIBPATH /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
    "Where stdole2.tlb is")

function(tolva_widl idl)
  cmake_parse_arguments(W "" "TLB;HEADER" "" ${ARGN})
  # A 32-bit library needs a 32-bit type library: the function offsets in the vtable
  # and the registration key (win32 or win64) follow the pointer size.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(flags --win32)
  else()
    set(flags --win64)
  endif()
  list(APPEND flags -I ${TOLVA_WIDL_INCLUDE} -L ${TOLVA_WIDL_LIBPATH})
  add_custom_command(OUTPUT ${W_TLB}
    COMMAND ${TOLVA_WIDL} ${flags} -t -o ${W_TLB} ${idl}
    DEPENDS ${idl} VERBATIM)
  if(W_HEADER)
    add_custom_command(OUTPUT ${W_HEADER}
      COMMAND ${TOLVA_WIDL} ${flags} -h -o ${W_HEADER} ${idl}
      DEPENDS ${idl} VERBATIM)
  endif()
endfunction()

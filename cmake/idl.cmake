# Generates headers, IIDs, the proxy/stub sources and the type library from idl/.
find_program(VANTREL_WIDL NAMES i686-w64-mingw32-widl REQUIRED)
set(VANTREL_IDL_SYSINC /usr/include/wine/wine/windows CACHE PATH "Folder with the system .idl files (libwine-dev)")
set(VANTREL_STDOLE_DIR /usr/lib/i386-linux-gnu/wine/i386-windows CACHE PATH "Folder with stdole2.tlb")
find_program(VANTREL_AWK NAMES awk mawk gawk REQUIRED)

set(VANTREL_GEN_DIR ${CMAKE_BINARY_DIR}/gen)
file(MAKE_DIRECTORY ${VANTREL_GEN_DIR})
set(_idl ${CMAKE_SOURCE_DIR}/idl/opcda.idl)
set(_widl ${VANTREL_WIDL} -I${VANTREL_IDL_SYSINC} -I${CMAKE_SOURCE_DIR}/idl --win32)

set(VANTREL_IDL_HEADER  ${VANTREL_GEN_DIR}/opcda.h)
set(VANTREL_IDL_IID_C   ${VANTREL_GEN_DIR}/opcda_i.c)
set(VANTREL_IDL_PROXY_C ${VANTREL_GEN_DIR}/opcda_p.c)
set(VANTREL_IDL_DLLDATA_C ${VANTREL_GEN_DIR}/dlldata.c)
set(VANTREL_IDL_FMT_H   ${VANTREL_GEN_DIR}/opcda_fmt_offsets.h)
set(VANTREL_TLB         ${VANTREL_GEN_DIR}/vantrel.tlb)

add_custom_command(
  OUTPUT ${VANTREL_IDL_HEADER} ${VANTREL_IDL_IID_C}
  COMMAND ${_widl} -h -o ${VANTREL_IDL_HEADER} ${_idl}
  COMMAND ${_widl} -u -o ${VANTREL_IDL_IID_C} ${_idl}
  DEPENDS ${_idl}
  COMMENT "widl: opcda.h, opcda_i.c")

# Stubless proxies (-Oicf), then the alignment mend for VARIANT-carrying entries.
add_custom_command(
  OUTPUT ${VANTREL_IDL_PROXY_C} ${VANTREL_IDL_FMT_H} ${VANTREL_IDL_DLLDATA_C}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VANTREL_GEN_DIR}/raw
  COMMAND ${_widl} -Oicf -p -o ${VANTREL_GEN_DIR}/raw/opcda_p.c ${_idl}
  COMMAND ${CMAKE_COMMAND} -E remove -f ${VANTREL_IDL_FMT_H}
  COMMAND ${VANTREL_AWK} -v EXPECTED=18 -v EXPECTED_STRINGS=10 -v EXPECTED_IN_ARRAYS=8 -v OFFSETS_FILE=${VANTREL_IDL_FMT_H}
          -f ${CMAKE_SOURCE_DIR}/cmake/patch_proxy.awk
          ${VANTREL_GEN_DIR}/raw/opcda_p.c ${VANTREL_GEN_DIR}/raw/opcda_p.c > ${VANTREL_IDL_PROXY_C}
  COMMAND ${CMAKE_COMMAND} -E chdir ${VANTREL_GEN_DIR} ${VANTREL_WIDL} --win32 --dlldata-only -o dlldata.c opcda
  DEPENDS ${_idl} ${CMAKE_SOURCE_DIR}/cmake/patch_proxy.awk
  COMMENT "widl: opcda_p.c (alignment mended), dlldata.c")

add_custom_command(
  OUTPUT ${VANTREL_TLB}
  COMMAND ${_widl} -t -L ${VANTREL_STDOLE_DIR} -o ${VANTREL_TLB} ${CMAKE_SOURCE_DIR}/idl/vantrel.idl
  DEPENDS ${_idl} ${CMAKE_SOURCE_DIR}/idl/vantrel.idl
  COMMENT "widl: vantrel.tlb")

add_custom_target(vantrel_idl DEPENDS ${VANTREL_IDL_HEADER} ${VANTREL_IDL_IID_C}
  ${VANTREL_IDL_PROXY_C} ${VANTREL_IDL_FMT_H} ${VANTREL_TLB})

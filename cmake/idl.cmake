# Generates headers, IIDs, the proxy/stub sources and the type library from idl/,
# for the 32-bit build (the default) or the 64-bit one (VANTREL_WIDL_ARCH win64).
if(NOT VANTREL_ROOT)
  set(VANTREL_ROOT ${CMAKE_SOURCE_DIR})
endif()
if(NOT VANTREL_WIDL_ARCH)
  set(VANTREL_WIDL_ARCH win32)
endif()
# The proxy mends the build expects (cmake/patch_proxy.awk): the same for
# both but the OPCBROWSEELEMENT one, which win64's layout does not need.
if(VANTREL_WIDL_ARCH STREQUAL "win64")
  set(_repointed 0)
  find_program(VANTREL_WIDL NAMES x86_64-w64-mingw32-widl REQUIRED)
else()
  set(_repointed 2)
  find_program(VANTREL_WIDL NAMES i686-w64-mingw32-widl REQUIRED)
endif()
set(VANTREL_IDL_SYSINC /usr/include/wine/wine/windows CACHE PATH "Folder with the system .idl files (libwine-dev)")
set(VANTREL_STDOLE_DIR /usr/lib/i386-linux-gnu/wine/i386-windows CACHE PATH "Folder with stdole2.tlb")
find_program(VANTREL_AWK NAMES awk mawk gawk REQUIRED)

set(VANTREL_GEN_DIR ${CMAKE_BINARY_DIR}/gen)
file(MAKE_DIRECTORY ${VANTREL_GEN_DIR})
set(_idl ${VANTREL_ROOT}/idl/opcda.idl)
set(_widl ${VANTREL_WIDL} -I${VANTREL_IDL_SYSINC} -I${VANTREL_ROOT}/idl --${VANTREL_WIDL_ARCH})

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
  COMMAND ${VANTREL_AWK} -v EXPECTED=18 -v EXPECTED_STRINGS=10 -v EXPECTED_IN_ARRAYS=8
          -v EXPECTED_REPOINTED=${_repointed} -v OFFSETS_FILE=${VANTREL_IDL_FMT_H}
          -f ${VANTREL_ROOT}/cmake/patch_proxy.awk
          ${VANTREL_GEN_DIR}/raw/opcda_p.c ${VANTREL_GEN_DIR}/raw/opcda_p.c > ${VANTREL_IDL_PROXY_C}
  COMMAND ${CMAKE_COMMAND} -E chdir ${VANTREL_GEN_DIR} ${VANTREL_WIDL} --${VANTREL_WIDL_ARCH} --dlldata-only -o dlldata.c opcda
  DEPENDS ${_idl} ${VANTREL_ROOT}/cmake/patch_proxy.awk
  COMMENT "widl: opcda_p.c (alignment mended), dlldata.c")

add_custom_command(
  OUTPUT ${VANTREL_TLB}
  COMMAND ${_widl} -t -L ${VANTREL_STDOLE_DIR} -o ${VANTREL_TLB} ${VANTREL_ROOT}/idl/vantrel.idl
  DEPENDS ${_idl} ${VANTREL_ROOT}/idl/vantrel.idl
  COMMENT "widl: vantrel.tlb")

add_custom_target(vantrel_idl DEPENDS ${VANTREL_IDL_HEADER} ${VANTREL_IDL_IID_C}
  ${VANTREL_IDL_PROXY_C} ${VANTREL_IDL_FMT_H} ${VANTREL_TLB})

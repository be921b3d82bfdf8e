# The version lives in project(); from there it reaches the code (GetStatus),
# the VERSIONINFO resource of every binary, the installer and the archive.
set(VANTREL_VERSION ${PROJECT_VERSION})
configure_file(${VANTREL_ROOT}/src/host/VantrelVersion.h.in ${VANTREL_GEN_DIR}/VantrelVersion.h @ONLY)

# Gives a target a VERSIONINFO resource: the product's version, company and
# name, and its own description and file name.
function(vantrel_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(VANTREL_RC_FILETYPE VFT_DLL)
    set(VANTREL_RC_FILENAME ${target}.dll)
  else()
    set(VANTREL_RC_FILETYPE VFT_APP)
    set(VANTREL_RC_FILENAME ${target}.exe)
  endif()
  set(VANTREL_RC_DESCRIPTION "${description}")
  configure_file(${VANTREL_ROOT}/src/host/Version.rc.in ${VANTREL_GEN_DIR}/version_${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${VANTREL_GEN_DIR}/version_${target}.rc)
endfunction()

# qlsmtp-setup.exe, built with NSIS (makensis, 64-bit Unicode target) from
# the gateway, the setup helper and, when built, the applet and its help.
find_program(MAKENSIS makensis)
if(NOT MAKENSIS OR NOT TARGET qlsinstall)
  message(STATUS "makensis not found: qlsmtp-setup.exe is not built")
  return()
endif()
set(QLSMTP_SETUP_EXE ${CMAKE_BINARY_DIR}/qlsmtp-setup.exe)
set(script ${CMAKE_CURRENT_SOURCE_DIR}/windows/qlsmtp-setup.nsi)
set(args
  "-DPRODUCT=${QLSMTP_PRODUCT_NAME}" "-DVERSION=${PROJECT_VERSION}"
  "-DVERSION4=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0"
  "-DOUTFILE=${QLSMTP_SETUP_EXE}"
  "-DGATEWAY=$<TARGET_FILE:qlsmtpgw>" "-DHELPER=$<TARGET_FILE:qlsinstall>")
set(depends ${script} qlsmtpgw qlsinstall)
if(TARGET qlsmtpcg)
  list(APPEND args "-DAPPLET=$<TARGET_FILE:qlsmtpcg>")
  list(APPEND depends qlsmtpcg)
endif()
if(TARGET qlsmtpcg_help)
  list(APPEND args "-DHELP=${CMAKE_BINARY_DIR}/applet/qlsmtpcg.chm")
  list(APPEND depends qlsmtpcg_help ${CMAKE_BINARY_DIR}/applet/qlsmtpcg.chm)
endif()
add_custom_command(OUTPUT ${QLSMTP_SETUP_EXE}
  COMMAND ${MAKENSIS} -V2 -NOCD ${args} ${script}
  DEPENDS ${depends}
  COMMENT "Building the setup program qlsmtp-setup.exe"
  VERBATIM)
add_custom_target(qlsmtp_setup ALL DEPENDS ${QLSMTP_SETUP_EXE})

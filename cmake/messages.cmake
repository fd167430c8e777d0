# The event messages: one source (common/messages.mc) for the Windows message
# table resource and the Linux table.
set(QLSMTP_MESSAGES_MC ${CMAKE_SOURCE_DIR}/common/messages.mc)
set(QLSMTP_MESSAGES_CPP ${CMAKE_BINARY_DIR}/generated/event_messages.cpp)
# The rule lives in platform/, whose library compiles the table.
macro(qlsmtp_generate_messages)
add_custom_command(
  OUTPUT ${QLSMTP_MESSAGES_CPP}
  COMMAND ${CMAKE_COMMAND} -DIN=${QLSMTP_MESSAGES_MC} -DOUT=${QLSMTP_MESSAGES_CPP}
          -P ${CMAKE_SOURCE_DIR}/cmake/gen_messages.cmake
  DEPENDS ${QLSMTP_MESSAGES_MC} ${CMAKE_SOURCE_DIR}/cmake/gen_messages.cmake
  COMMENT "Generating the event message table")
endmacro()

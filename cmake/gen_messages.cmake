# Turns the message source (windmc format) into a C++ table of id and text,
# so that Linux reports the same texts as the Windows message table.
# Usage: cmake -DIN=messages.mc -DOUT=event_messages.cpp -P gen_messages.cmake
file(STRINGS "${IN}" lines)
set(body "")
set(id "")
set(intext FALSE)
set(text "")
foreach(line IN LISTS lines)
  if(intext)
    if(line STREQUAL ".")
      string(APPEND body "    {${id}, \"${text}\"},\n")
      set(intext FALSE)
      set(text "")
    else()
      string(REPLACE "\\" "\\\\" esc "${line}")
      string(REPLACE "\"" "\\\"" esc "${esc}")
      string(APPEND text "${esc}\\r\\n")
    endif()
  elseif(line MATCHES "^MessageId=([0-9]+)")
    set(id "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Language=")
    set(intext TRUE)
  endif()
endforeach()
file(WRITE "${OUT}.tmp"
"// Generated from common/messages.mc; do not edit.\n"
"#include <cstddef>\n#include <cstdint>\n\n#include \"platform/eventlog.h\"\n\n"
"namespace plat {\nnamespace {\nstruct Entry { uint32_t id; const char* text; };\n"
"const Entry kMessages[] = {\n${body}};\n}  // namespace\n\n"
"const char* EventMessageText(uint32_t id) {\n"
"    for (const Entry& e : kMessages)\n        if (e.id == id) return e.text;\n    return nullptr;\n}\n\n"
"}  // namespace plat\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.tmp" "${OUT}")
file(REMOVE "${OUT}.tmp")

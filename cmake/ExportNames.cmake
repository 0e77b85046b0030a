# The export table's names as the header declares them and as a .def file lists them; shared by the
# build (Linux version script, Windows .def) and the checks of the built libraries.

# Names of the functions declared or defined with TARVIK_CALL in `text`, in order (a definition
# may break the line after TARVIK_CALL).
function(tarvik_call_names text out)
  string(REGEX MATCHALL "TARVIK_CALL[ \t\r\n]+[A-Za-z0-9_]+[ \t]*\\(" hits "${text}")
  set(names)
  foreach(h ${hits})
    string(REGEX REPLACE "TARVIK_CALL[ \t\r\n]+([A-Za-z0-9_]+)[ \t]*\\(" "\\1" n "${h}")
    list(APPEND names ${n})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Names after EXPORTS in a .def file, without blank and comment lines.
function(tarvik_def_names def_file out)
  file(STRINGS ${def_file} def_lines)
  set(names)
  set(in_exports FALSE)
  foreach(line ${def_lines})
    string(STRIP "${line}" line)
    if(line STREQUAL "EXPORTS")
      set(in_exports TRUE)
    elseif(in_exports AND NOT line STREQUAL "" AND NOT line MATCHES "^;")
      list(APPEND names ${line})
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

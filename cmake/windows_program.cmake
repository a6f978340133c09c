# Windows x64 programs cross-compiled with Debian's mingw-w64: the assistant that ships
# beside the library, and the stand-ins its tests run under wine. Linked statically so
# the program needs nothing on the target beyond the system's own DLLs.
find_program(TRANSVIA_MINGW_CC x86_64-w64-mingw32-gcc)
if(NOT TRANSVIA_MINGW_CC)
  message(FATAL_ERROR "x86_64-w64-mingw32-gcc not found: the assistant package (transvia_assistant.exe) "
                      "is cross-compiled for Windows. Run tools/setup.sh, which installs gcc-mingw-w64-x86-64.")
endif()

# transvia_windows_program(<target> OUTPUT <file.exe> SOURCES <c files...> [LIBS <names...>])
# Builds <file.exe> from the C sources and adds <target> (part of ALL) that depends on it.
function(transvia_windows_program target)
  cmake_parse_arguments(arg "" "OUTPUT" "SOURCES;LIBS" ${ARGN})
  set(libs)
  foreach(lib ${arg_LIBS})
    list(APPEND libs -l${lib})
  endforeach()
  add_custom_command(
    OUTPUT ${arg_OUTPUT}
    # Unicode entry point (wmain); no timestamp in the header, so the same source gives
    # the same bytes; stripped, since no debugger runs on the target.
    COMMAND ${TRANSVIA_MINGW_CC} -std=c11 -O2 -Wall -Wextra -Werror -municode -static -s
            -Wl,--no-insert-timestamp -o ${arg_OUTPUT} ${arg_SOURCES} ${libs}
    DEPENDS ${arg_SOURCES}
    COMMENT "Cross-compiling ${target} for Windows x64"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${arg_OUTPUT})
endfunction()

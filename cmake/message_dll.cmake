# Resource-only message DLLs built with mingw-w64's own tools, the way a
# Windows message file is made: windmc compiles the .mc source (saved with
# CRLF line ends) into message tables, windres turns them into a COFF object,
# and the linker makes a DLL from it alone (no C library, no entry point).
#
#   include(${PROJECT_SOURCE_DIR}/cmake/message_dll.cmake)
#   vesk_message_dll(<target> MC <file.mc> ARCH i686|x86_64
#                    [ANSI] [OUTPUT_NAME <name>] [OUTPUT_DIR <dir>])
#
# makes the custom target <target>, built with ALL, which writes
# <dir>/<name>.dll (by default ${CMAKE_CURRENT_BINARY_DIR}/msgdll/<target>.dll)
# and sets the target's property VESK_MESSAGE_DLL to that path.  Entries are
# UTF-16 unless ANSI is given (then code page 1252); the .mc source is read as
# code page 1252.  The generated header (<name>.h, the symbolic names) lands
# in ${CMAKE_CURRENT_BINARY_DIR}/msgdll-work/<target>.  Works in every build, native or cross, since it
# calls the mingw-w64 tools by their prefixed names.

function(vesk_message_dll target)
  cmake_parse_arguments(ARG "ANSI" "MC;ARCH;OUTPUT_NAME;OUTPUT_DIR" "" ${ARGN})
  if(NOT ARG_MC OR NOT ARG_ARCH)
    message(FATAL_ERROR "vesk_message_dll(${target}): MC and ARCH are required")
  endif()
  if(ARG_ARCH STREQUAL "i686")
    set(prefix i686-w64-mingw32)
  elseif(ARG_ARCH STREQUAL "x86_64")
    set(prefix x86_64-w64-mingw32)
  else()
    message(FATAL_ERROR "vesk_message_dll(${target}): ARCH is i686 or x86_64, not ${ARG_ARCH}")
  endif()
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${target})
  endif()
  if(NOT ARG_OUTPUT_DIR)
    set(ARG_OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/msgdll)
  endif()
  get_filename_component(mc ${ARG_MC} ABSOLUTE)

  find_program(VESK_WINDMC_${ARG_ARCH} NAMES ${prefix}-windmc REQUIRED)
  find_program(VESK_WINDRES_${ARG_ARCH} NAMES ${prefix}-windres REQUIRED)
  find_program(VESK_MINGW_GCC_${ARG_ARCH} NAMES ${prefix}-gcc ${prefix}-gcc-posix REQUIRED)

  # Intermediate files stay apart from the DLL, so that an output directory
  # (a fuzz corpus, say) holds nothing else.
  set(work ${CMAKE_CURRENT_BINARY_DIR}/msgdll-work/${target})
  set(dll ${ARG_OUTPUT_DIR}/${ARG_OUTPUT_NAME}.dll)
  set(encoding -U -C 1252)
  if(ARG_ANSI)
    set(encoding -A -C 1252)
  endif()
  file(MAKE_DIRECTORY ${work})
  # Ninja makes the folders of a rule's outputs; Makefiles do not, so the
  # rule makes its own (also after the folder was removed by hand).
  add_custom_command(
    OUTPUT ${dll}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ARG_OUTPUT_DIR} ${work}
    COMMAND ${CMAKE_COMMAND} -E copy ${mc} ${work}/${ARG_OUTPUT_NAME}.mc
    COMMAND ${VESK_WINDMC_${ARG_ARCH}} ${encoding} -b -h . -r . ${ARG_OUTPUT_NAME}.mc
    COMMAND ${VESK_WINDRES_${ARG_ARCH}} -O coff -i ${ARG_OUTPUT_NAME}.rc -o messages.o
    COMMAND ${VESK_MINGW_GCC_${ARG_ARCH}} -shared -nostdlib -s -Wl,-e,0
            -Wl,--no-insert-timestamp -o ${dll} messages.o
    DEPENDS ${mc}
    WORKING_DIRECTORY ${work}
    COMMENT "Message DLL ${ARG_OUTPUT_NAME}.dll (${ARG_ARCH})"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${dll})
  set_target_properties(${target} PROPERTIES VESK_MESSAGE_DLL ${dll})
endfunction()

# nibplay_add_bank: a game's sound bank as a step of the game's build.
#
#   nibplay_add_bank(TARGET name ROM out.rom SONGS [NAME=]song.mod... [SFX NAME=effect.wav...]
#                    [ONCE NAME...] HEADER out.h [ASM out.inc] [RATE hz])
#
# Makes an interface library `name` for the game to link (target_link_libraries(game PRIVATE name)): it
# carries the header's folder and depends on a step that runs `nibtool bank`, done again whenever a song,
# an effect or nibtool itself changes. A song or effect that cannot be imported fails the build with
# nibtool's line. Relative inputs are read from the calling folder, relative outputs written to its build
# folder. The ROM's path is the library's NIBPLAY_ROM property.
function(nibplay_add_bank)
  cmake_parse_arguments(PARSE_ARGV 0 BANK "" "TARGET;ROM;HEADER;ASM;RATE" "SONGS;SFX;ONCE")
  if(BANK_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nibplay_add_bank: unexpected arguments: ${BANK_UNPARSED_ARGUMENTS}")
  endif()
  foreach(needed TARGET ROM SONGS HEADER)
    if(NOT BANK_${needed})
      message(FATAL_ERROR "nibplay_add_bank: ${needed} is missing")
    endif()
  endforeach()

  set(outputs)
  foreach(kind ROM HEADER ASM)
    if(BANK_${kind})
      get_filename_component(BANK_${kind} "${BANK_${kind}}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
      list(APPEND outputs "${BANK_${kind}}")
    endif()
  endforeach()

  set(args bank "${BANK_ROM}")
  set(inputs)
  foreach(song IN LISTS BANK_SONGS)
    set(name "")
    set(file "${song}")
    if(song MATCHES "^([^=/]+)=(.+)$")
      set(name "${CMAKE_MATCH_1}=")
      set(file "${CMAKE_MATCH_2}")
    endif()
    get_filename_component(file "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND args "${name}${file}")
    list(APPEND inputs "${file}")
  endforeach()
  foreach(effect IN LISTS BANK_SFX)
    if(NOT effect MATCHES "^([^=]+)=(.+)$")
      message(FATAL_ERROR "nibplay_add_bank: SFX needs NAME=FILE, not '${effect}'")
    endif()
    get_filename_component(file "${CMAKE_MATCH_2}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND args --sfx "${CMAKE_MATCH_1}=${file}")
    list(APPEND inputs "${file}")
  endforeach()
  foreach(song IN LISTS BANK_ONCE)
    list(APPEND args --once "${song}")
  endforeach()
  list(APPEND args --header "${BANK_HEADER}")
  if(BANK_ASM)
    list(APPEND args --asm "${BANK_ASM}")
  endif()
  if(BANK_RATE)
    list(APPEND args --rate "${BANK_RATE}")
  endif()

  get_filename_component(rom_name "${BANK_ROM}" NAME)
  add_custom_command(OUTPUT ${outputs}
    COMMAND nibplay::nibtool ${args} -q
    DEPENDS ${inputs} "$<TARGET_FILE:nibplay::nibtool>"
    COMMENT "Making the sound bank ${rom_name}"
    VERBATIM)
  add_custom_target(${BANK_TARGET}_bank DEPENDS ${outputs})
  add_library(${BANK_TARGET} INTERFACE)
  get_filename_component(header_dir "${BANK_HEADER}" DIRECTORY)
  target_include_directories(${BANK_TARGET} INTERFACE "${header_dir}")
  add_dependencies(${BANK_TARGET} ${BANK_TARGET}_bank)
  set_target_properties(${BANK_TARGET} PROPERTIES NIBPLAY_ROM "${BANK_ROM}")
endfunction()

# A platform-specific unit has one header and one source per platform beside it:
# unit_posix.cpp or unit_linux.cpp for Linux, unit_windows.cpp for Windows. The build takes the
# sources of its own platform and leaves out the others'.
if(WIN32)
  set(OMBREL_OTHER_PLATFORM_SOURCES "_(posix|linux)\\.cpp$")
else()
  set(OMBREL_OTHER_PLATFORM_SOURCES "_windows\\.cpp$")
endif()

# ombrel_area_library(NAME LIBS a b ... [EXCLUDE regex])
# One static library per area, made of every .cpp file of the area's folder (not its subfolders)
# that belongs to the platform built, so adding a unit needs no edit here. Files whose name
# matches EXCLUDE are left out as well.
function(ombrel_area_library name)
  cmake_parse_arguments(ARG "" "EXCLUDE" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "${OMBREL_OTHER_PLATFORM_SOURCES}")
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ombrel_common ${ARG_LIBS})
  else()
    # No unit written yet: an empty stand-in keeps the targets that link it valid.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ombrel_common ${ARG_LIBS})
  endif()
endfunction()

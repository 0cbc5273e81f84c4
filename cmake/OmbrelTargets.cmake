# ombrel_area_library(NAME LIBS a b ... [EXCLUDE regex])
# One static library per area, made of every .cpp file of the area's folder (not its subfolders),
# so adding a unit needs no edit here. Files whose name matches EXCLUDE are left out.
function(ombrel_area_library name)
  cmake_parse_arguments(ARG "" "EXCLUDE" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
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

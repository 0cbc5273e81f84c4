# ombrel_delay_load(TARGET lib ...): links the system libraries named through delay-import
# libraries, so that the program loads them at their first use instead of at its start. Each
# delay-import library is made by dlltool from the exports of MinGW's import library and put in a
# folder that the target searches first, so that "-lwinhttp" anywhere in its link line finds it.
find_program(OMBREL_DLLTOOL NAMES ${OMBREL_MINGW_TRIPLE}-dlltool x86_64-w64-mingw32-dlltool REQUIRED)
find_program(OMBREL_NM NAMES ${OMBREL_MINGW_TRIPLE}-nm x86_64-w64-mingw32-nm REQUIRED)
function(ombrel_delay_load target)
  set(folder ${CMAKE_BINARY_DIR}/delay-load)
  file(MAKE_DIRECTORY ${folder})
  foreach(lib ${ARGN})
    set(archive ${folder}/lib${lib}.a)
    if(NOT EXISTS ${archive})
      find_library(_import_${lib} NAMES lib${lib}.a REQUIRED NO_CACHE)
      execute_process(COMMAND ${OMBREL_NM} -g ${_import_${lib}} OUTPUT_VARIABLE symbols
                      COMMAND_ERROR_IS_FATAL ANY)
      string(REGEX MATCHALL "I __imp_[A-Za-z0-9_@]+" imports "${symbols}")
      set(def "LIBRARY ${lib}.dll\nEXPORTS\n")
      list(REMOVE_DUPLICATES imports)
      foreach(import ${imports})
        string(REPLACE "I __imp_" "" name "${import}")
        string(APPEND def "${name}\n")
      endforeach()
      file(WRITE ${folder}/${lib}.def "${def}")
      execute_process(COMMAND ${OMBREL_DLLTOOL} --input-def ${folder}/${lib}.def
                              --dllname ${lib}.dll --output-delaylib ${archive}
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()
  target_link_directories(${target} BEFORE PRIVATE ${folder})
endfunction()

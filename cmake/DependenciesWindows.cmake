# Libraries of the Windows cross build. The system's own libraries stand in for those that have
# no MinGW build in the package sources: WinHTTP for libcurl, BCrypt for OpenSSL's libcrypto,
# and an archive reader of our own over zlib for libzip. The header-only libraries are used from
# the build machine's include folder, through a folder that holds only them, so that no other
# header of the build machine reaches the cross compiler.
find_package(Threads REQUIRED)

set(_mingw_root /usr/${OMBREL_MINGW_TRIPLE})
if(NOT OMBREL_MINGW_TRIPLE)
  set(_mingw_root /usr/x86_64-w64-mingw32)
endif()

# zlib, linked statically (its import library would need zlib1.dll beside the program).
find_library(OMBREL_ZLIB_STATIC NAMES libz.a REQUIRED)
find_path(OMBREL_ZLIB_INCLUDE zlib.h REQUIRED)
add_library(ZLIB::ZLIB STATIC IMPORTED)
set_target_properties(ZLIB::ZLIB PROPERTIES IMPORTED_LOCATION ${OMBREL_ZLIB_STATIC}
                      INTERFACE_INCLUDE_DIRECTORIES ${OMBREL_ZLIB_INCLUDE})

set(_header_only_dir ${CMAKE_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${_header_only_dir})
foreach(_dir nlohmann fmt CLI)
  if(NOT EXISTS /usr/include/${_dir})
    message(FATAL_ERROR "/usr/include/${_dir} is missing: install the packages of scripts/install-deps.sh")
  endif()
  file(CREATE_LINK /usr/include/${_dir} ${_header_only_dir}/${_dir} SYMBOLIC)
endforeach()

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                      INTERFACE_INCLUDE_DIRECTORIES ${_header_only_dir})
add_library(fmt::fmt INTERFACE IMPORTED)
# No std::locale in {fmt}, which would bring every facet of the C++ library into each program:
# digits are never grouped, as in the classic locale that the programs run in anyway.
set_target_properties(fmt::fmt PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_header_only_dir}
                      INTERFACE_COMPILE_DEFINITIONS "FMT_HEADER_ONLY;FMT_STATIC_THOUSANDS_SEPARATOR=0")
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_header_only_dir})

# The platform's libraries behind our own units.
add_library(ombrel_http_backend INTERFACE)
target_link_libraries(ombrel_http_backend INTERFACE winhttp)
add_library(ombrel_crypto_backend INTERFACE)
target_link_libraries(ombrel_crypto_backend INTERFACE bcrypt crypt32)
add_library(ombrel_zip_backend INTERFACE)
target_link_libraries(ombrel_zip_backend INTERFACE ZLIB::ZLIB)

# Executables need no DLL beyond Windows' own.
add_link_options(-static -static-libgcc -static-libstdc++)
# The Windows programs are downloads (the installer above all, which must stay small): a release
# build is optimised for size, and each function and datum gets a section of its own, so that the
# linker drops whatever no program uses.
add_compile_options($<$<CONFIG:Release,MinSizeRel>:-Os> -ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)
# A release build's objects also carry the compiler's intermediate code, for the programs that
# are optimised as a whole when linked (OMBREL_WHOLE_PROGRAM_LINK); the others link the machine
# code beside it as usual (-fno-lto: the linker would otherwise take the intermediate code of
# any object that has it).
add_compile_options($<$<CONFIG:Release,MinSizeRel>:-flto$<SEMICOLON>-ffat-lto-objects>)
add_link_options($<$<CONFIG:Release,MinSizeRel>:-fno-lto>)
# Link-time optimisation, for size. One partition: MinGW's GCC 12 fails (an internal compiler
# error) when it splits the program. -Os again, since the link line carries the build type's -O3.
set(OMBREL_WHOLE_PROGRAM_LINK $<$<CONFIG:Release,MinSizeRel>:-flto$<SEMICOLON>-flto-partition=one$<SEMICOLON>-Os>)
# Wide-character Win32 API; no min/max macros from windows.h.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

if(OMBREL_BUILD_TESTS)
  # GoogleTest from its sources, built with the same toolchain.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(_gtest_target gtest gtest_main gmock)
    if(NOT TARGET GTest::${_gtest_target})
      add_library(GTest::${_gtest_target} ALIAS ${_gtest_target})
    endif()
  endforeach()
endif()

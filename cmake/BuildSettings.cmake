# Values built into the programs. Each publisher builds installers with their own password,
# so that only their stamp tool can write instructions the installer accepts.
set(_ombrel_project_password "Ombrel#Instr-2026!Kx")
set(_ombrel_project_api_key "3f9a2c61-7d4e-4b8a-9e15-c2d07a6b84f1")
set(OMBREL_INSTRUCTION_PASSWORD "${_ombrel_project_password}" CACHE STRING
    "Password of the embedded installer instruction: exactly 20 printable ASCII characters")
set(OMBREL_DEFAULT_SERVER "https://updates.example.com" CACHE STRING
    "Default update server base URL: https:// and a host name only, no path, no trailing slash")
set(OMBREL_API_KEY "${_ombrel_project_api_key}" CACHE STRING
    "Built-in API key in GUID form (8-4-4-4-12 lowercase hexadecimal digits)")
set(OMBREL_RELEASE_PUBLIC_KEY "" CACHE STRING
    "Public key that releases must be signed with (Base64 of a DER P-256 SubjectPublicKeyInfo, as ombrel-server keygen prints it); empty: releases are not checked")

string(LENGTH "${OMBREL_INSTRUCTION_PASSWORD}" _pw_len)
if(NOT _pw_len EQUAL 20 OR NOT OMBREL_INSTRUCTION_PASSWORD MATCHES "^[ -~]+$")
  message(FATAL_ERROR
    "OMBREL_INSTRUCTION_PASSWORD must be exactly 20 printable ASCII characters "
    "(codes 32 to 126); got ${_pw_len} characters.")
endif()
if(NOT OMBREL_DEFAULT_SERVER MATCHES "^https://[A-Za-z0-9.-]+(:[0-9]+)?$")
  message(FATAL_ERROR
    "OMBREL_DEFAULT_SERVER must be a base URL made of https:// and a host name "
    "(optionally :port), without a path or trailing slash; got '${OMBREL_DEFAULT_SERVER}'.")
endif()
if(NOT OMBREL_API_KEY MATCHES "^[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]-[0-9a-f][0-9a-f][0-9a-f][0-9a-f]-[0-9a-f][0-9a-f][0-9a-f][0-9a-f]-[0-9a-f][0-9a-f][0-9a-f][0-9a-f]-[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]$")
  message(FATAL_ERROR
    "OMBREL_API_KEY must be a GUID of 8-4-4-4-12 lowercase hexadecimal digits; "
    "got '${OMBREL_API_KEY}'.")
endif()
if(NOT OMBREL_RELEASE_PUBLIC_KEY STREQUAL "" AND
   NOT OMBREL_RELEASE_PUBLIC_KEY MATCHES "^[A-Za-z0-9+/]+=*$")
  message(FATAL_ERROR
    "OMBREL_RELEASE_PUBLIC_KEY must be empty or the Base64 public key that "
    "'ombrel-server keygen' prints; got '${OMBREL_RELEASE_PUBLIC_KEY}'.")
endif()

# The project's own values are public: installers built with them can be read and forged by
# anyone. Fine for trying things out; say so loudly, on every configure.
set(OMBREL_USES_PROJECT_PASSWORD false)
set(OMBREL_USES_PROJECT_API_KEY false)
if(OMBREL_INSTRUCTION_PASSWORD STREQUAL _ombrel_project_password)
  set(OMBREL_USES_PROJECT_PASSWORD true)
  message(WARNING
    "OMBREL_INSTRUCTION_PASSWORD is the project's default, which is public: anyone can read and "
    "forge the instructions of installers built with it. Publishers set their own: "
    "-DOMBREL_INSTRUCTION_PASSWORD='<20 printable ASCII characters>'.")
endif()
if(OMBREL_API_KEY STREQUAL _ombrel_project_api_key)
  set(OMBREL_USES_PROJECT_API_KEY true)
  message(WARNING
    "OMBREL_API_KEY is the project's default, which is public. Publishers set their own: "
    "-DOMBREL_API_KEY=<lowercase GUID>.")
endif()

# The values are written as C++ string literals; escape the characters that matter there.
function(_ombrel_cxx_literal out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  string(REPLACE "?" "\\?" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
_ombrel_cxx_literal(OMBREL_INSTRUCTION_PASSWORD_LITERAL "${OMBREL_INSTRUCTION_PASSWORD}")
_ombrel_cxx_literal(OMBREL_DEFAULT_SERVER_LITERAL "${OMBREL_DEFAULT_SERVER}")
_ombrel_cxx_literal(OMBREL_API_KEY_LITERAL "${OMBREL_API_KEY}")

set(OMBREL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/build_config.h.in
               ${OMBREL_GENERATED_DIR}/ombrel/build_config.h @ONLY)

# The module as it ships, of either build: build/<preset>/shipped/Orvane.dll, stripped and, given a
# certificate, signed; and, built with clang and lld, its symbols in a symbol store's layout beside
# the packages (cmake/packaging.cmake packs the i686 one):
#
#   build/win32/Orvane-<version>-win32-symbols.zip    (build/win64/...-win64-symbols.zip)
#     Orvane-<version>-win32-symbols/Orvane.pdb/<GUID><age>/Orvane.pdb
#     Orvane-<version>-win32-symbols/Orvane.dll/<TimeDateStamp><SizeOfImage>/Orvane.dll
#
# which is how a debugger asks a symbol store for the two: the PDB by the GUID and age of the module's
# CodeView record, the module by its header's time stamp and image size (cmake/symbol_store.py).
#
# Given a code-signing certificate and its key, the shipped module and the MSI are signed:
#   ORVANE_SIGN_CERT   the certificate (PEM or DER; a PEM file may hold the chain after it)
#   ORVANE_SIGN_KEY    its private key, unencrypted (PEM or DER)
#   ORVANE_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamping service, at release: a signature with a
#                      time stamp stays valid after the certificate expires. It needs the network.
# They are read when the build is configured (the workflow's first step), so a build configured
# without them ships unsigned files.

# The shipped module leaves behind what the host does not need: the symbol table of GCC's build (two
# thirds of its size), which the build folder's Orvane.dll keeps for the static checks of the stdcall
# entry points, or the library archives' DWARF of clang's, whose build folder keeps the PDB for them.
# Stripping moves nothing that the PDB describes, so the PDB is the shipped module's too. One stripped
# (and signed) copy, made at build time, is what the install, the package, the MSI, the kit and the
# symbol store take, so all hold the same bytes.
set(ORVANE_SHIPPED_DLL ${CMAKE_BINARY_DIR}/shipped/Orvane.dll)
set(ORVANE_SIGN_CERT "$ENV{ORVANE_SIGN_CERT}")
set(ORVANE_SIGN_KEY "$ENV{ORVANE_SIGN_KEY}")
set(ORVANE_SIGN_TIMESTAMP_URL "$ENV{ORVANE_SIGN_TIMESTAMP_URL}")
# llvm-strip keeps the header's checksum as it found it; GNU strip writes it.
set(strip_finish)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(strip_finish COMMAND ${ORVANE_PE_FINISH})
endif()
if(ORVANE_SIGN_CERT OR ORVANE_SIGN_KEY)
  if(NOT ORVANE_SIGN_CERT OR NOT ORVANE_SIGN_KEY)
    message(FATAL_ERROR "Signing needs both ORVANE_SIGN_CERT and ORVANE_SIGN_KEY")
  endif()
  find_program(ORVANE_OSSLSIGNCODE osslsigncode REQUIRED)
  message(STATUS "Signing the shipped module and the MSI with ${ORVANE_SIGN_CERT}")
  set(ORVANE_SIGNING ON)
  set(sign_timestamp)
  if(ORVANE_SIGN_TIMESTAMP_URL)
    set(sign_timestamp -ts ${ORVANE_SIGN_TIMESTAMP_URL})
  endif()
  # osslsigncode rewrites the PE checksum, which the signature leaves out of its digest.
  set(ORVANE_SIGN_COMMAND ${ORVANE_OSSLSIGNCODE} sign -certs ${ORVANE_SIGN_CERT} -key ${ORVANE_SIGN_KEY}
    -h sha256 -n Orvane ${sign_timestamp})
  set(sign_inputs ${ORVANE_SIGN_CERT} ${ORVANE_SIGN_KEY})
  set(stripped ${CMAKE_BINARY_DIR}/stripped/Orvane.dll)
  if(strip_finish)
    list(APPEND strip_finish ${stripped})
  endif()
  add_custom_command(OUTPUT ${ORVANE_SHIPPED_DLL}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/stripped ${CMAKE_BINARY_DIR}/shipped
    COMMAND ${CMAKE_STRIP} --strip-all -o ${stripped} $<TARGET_FILE:Orvane>
    ${strip_finish}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${ORVANE_SHIPPED_DLL}
    COMMAND ${ORVANE_SIGN_COMMAND} -in ${stripped} -out ${ORVANE_SHIPPED_DLL}
    DEPENDS Orvane $<TARGET_FILE:Orvane> ${sign_inputs}
    COMMENT "Stripped and signed copy of Orvane.dll for the package"
    VERBATIM)
else()
  set(ORVANE_SIGNING OFF)
  if(strip_finish)
    list(APPEND strip_finish ${ORVANE_SHIPPED_DLL})
  endif()
  add_custom_command(OUTPUT ${ORVANE_SHIPPED_DLL}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/shipped
    COMMAND ${CMAKE_STRIP} --strip-all -o ${ORVANE_SHIPPED_DLL} $<TARGET_FILE:Orvane>
    ${strip_finish}
    DEPENDS Orvane $<TARGET_FILE:Orvane>
    COMMENT "Stripped copy of Orvane.dll for the package"
    VERBATIM)
endif()
add_custom_target(orvane_shipped ALL DEPENDS ${ORVANE_SHIPPED_DLL})

if(NOT ORVANE_PDB)
  return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ORVANE_SYMBOLS_NAME Orvane-${PROJECT_VERSION}-win32-symbols)
else()
  set(ORVANE_SYMBOLS_NAME Orvane-${PROJECT_VERSION}-win64-symbols)
endif()
set(ORVANE_SYMBOLS_ZIP ${CMAKE_BINARY_DIR}/${ORVANE_SYMBOLS_NAME}.zip)
add_custom_command(OUTPUT ${ORVANE_SYMBOLS_ZIP}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/symbol_store.py --module ${ORVANE_SHIPPED_DLL}
          --pdb ${ORVANE_PDB} --top ${ORVANE_SYMBOLS_NAME} --zip ${ORVANE_SYMBOLS_ZIP}
  DEPENDS ${ORVANE_SHIPPED_DLL} Orvane ${CMAKE_SOURCE_DIR}/cmake/symbol_store.py
  COMMENT "The symbols of Orvane.dll in a symbol store's layout"
  VERBATIM)
add_custom_target(orvane_symbols ALL DEPENDS ${ORVANE_SYMBOLS_ZIP})

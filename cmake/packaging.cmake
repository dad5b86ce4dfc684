# What a packager ships: the i686 add-in with what a host integrator reads; its Windows Installer
# package and the WiX fragment a host's own installer includes (cmake/installer.cmake); and beside
# them the script writer's kit, which holds the add-in, the stand-in host and its tools, the
# reference, the annotations and the examples, so that scripts can be written and run on a Windows
# machine without this repository. The tests are never installed.
#
#   cmake --workflow --preset package    ->  build/win32/Orvane-<version>-win32.zip
#                                            build/win32/Orvane.msi, build/win32/orvane-fragment.wxs
#                                            build/win32/Orvane-Kit-<version>-win32.zip
#                                            build/win32/Orvane-<version>-win32-symbols.zip
#   cmake --install build/win32 --prefix DIR           lays out the add-in package's files in DIR
#
# The shipped module itself, stripped and signed, and the symbols ZIP are cmake/shipped.cmake's; the
# symbols go in no package, as whoever reads a crash dump is not whoever installs the add-in.

install(PROGRAMS ${ORVANE_SHIPPED_DLL} DESTINATION . COMPONENT addin)
install(FILES docs/integration.md DESTINATION . RENAME README.md COMPONENT addin)

set(CPACK_PACKAGE_NAME Orvane)
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Orvane.DLL, the game-client add-in of the download manager")
set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME win32)
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Only the component above is packaged, whatever install rules a dependency may bring along.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};addin;/")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)

include(cmake/installer.cmake)

# ---- the script writer's kit ---------------------------------------------------------------------
# Laid out in a folder of its own and zipped; its programs are stripped like the add-in. Half of it is
# the stand-in host, so a build without the host has no kit; the add-in's package does not need it.
if(NOT ORVANE_BUILD_HOST)
  message(STATUS "ORVANE_BUILD_HOST is OFF: no script writer's kit")
  return()
endif()
set(ORVANE_KIT_NAME "Orvane-Kit-${PROJECT_VERSION}-win32")
set(ORVANE_KIT_DIR ${CMAKE_BINARY_DIR}/kit/${ORVANE_KIT_NAME})
set(ORVANE_KIT_ZIP ${CMAKE_BINARY_DIR}/${ORVANE_KIT_NAME}.zip)
set(kit_programs orvane-host VemoLuaRuntime orvane-tray-sim orvane-mutex-holder orvane-recorder)
set(kit_strip_commands)
foreach(program IN LISTS kit_programs)
  list(APPEND kit_strip_commands COMMAND ${CMAKE_STRIP} --strip-all -o ${ORVANE_KIT_DIR}/$<TARGET_FILE_NAME:${program}>
    $<TARGET_FILE:${program}>)
endforeach()
file(GLOB kit_examples CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/*.lua)
set(kit_sources kit/README.md docs/scripting.md host/README.md annotations/orvane.lua annotations/host.lua .luarc.json
  .luacheckrc
  tests/peers/service_peers.py tests/peers/http_peer.py)
list(TRANSFORM kit_sources PREPEND ${CMAKE_SOURCE_DIR}/)
add_custom_command(OUTPUT ${ORVANE_KIT_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/kit
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVANE_KIT_DIR}/docs ${ORVANE_KIT_DIR}/host ${ORVANE_KIT_DIR}/annotations
          ${ORVANE_KIT_DIR}/examples
  COMMAND ${CMAKE_COMMAND} -E copy ${ORVANE_SHIPPED_DLL} ${ORVANE_KIT_DIR}/Orvane.dll
  ${kit_strip_commands}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/kit/README.md ${ORVANE_KIT_DIR}/README.md
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/docs/scripting.md ${ORVANE_KIT_DIR}/docs/scripting.md
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/host/README.md ${ORVANE_KIT_DIR}/host/README.md
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/annotations/orvane.lua ${CMAKE_SOURCE_DIR}/annotations/host.lua
          ${ORVANE_KIT_DIR}/annotations
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/.luarc.json ${CMAKE_SOURCE_DIR}/.luacheckrc ${ORVANE_KIT_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/tests/peers/service_peers.py ${CMAKE_SOURCE_DIR}/tests/peers/http_peer.py
          ${ORVANE_KIT_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${kit_examples} ${ORVANE_KIT_DIR}/examples
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/kit ${CMAKE_COMMAND} -E tar cf ${ORVANE_KIT_ZIP} --format=zip
          ${ORVANE_KIT_NAME}
  DEPENDS ${ORVANE_SHIPPED_DLL} ${kit_programs} ${kit_sources} ${kit_examples}
  COMMENT "The script writer's kit")
add_custom_target(orvane_kit ALL DEPENDS ${ORVANE_KIT_ZIP})

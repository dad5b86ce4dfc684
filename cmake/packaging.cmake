# What a packager ships: the i686 add-in and what script writers and host integrators read. The
# stand-in host, its runtime and the tests are development tools and are never installed.
#
#   cmake --workflow --preset package                  ->  build/win32/Orvane-<version>-win32.zip
#   cmake --install build/win32 --prefix DIR           lays out the same files in DIR

# The shipped module leaves its symbol table behind (two thirds of its size; the host needs only the
# exports). The build folder's Orvane.dll keeps it for the static checks of the stdcall entry points.
# One stripped copy, made at build time, is what both the install and the package take, so the two
# hold the same bytes.
set(ORVANE_SHIPPED_DLL ${CMAKE_BINARY_DIR}/shipped/Orvane.dll)
add_custom_command(OUTPUT ${ORVANE_SHIPPED_DLL}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/shipped
  COMMAND ${CMAKE_STRIP} --strip-all -o ${ORVANE_SHIPPED_DLL} $<TARGET_FILE:Orvane>
  DEPENDS Orvane $<TARGET_FILE:Orvane>
  COMMENT "Stripped copy of Orvane.dll for the package")
add_custom_target(orvane_shipped ALL DEPENDS ${ORVANE_SHIPPED_DLL})

install(PROGRAMS ${ORVANE_SHIPPED_DLL} DESTINATION . COMPONENT addin)
install(FILES README.md DESTINATION . COMPONENT addin)
install(FILES docs/scripting.md DESTINATION docs COMPONENT addin)
install(FILES annotations/orvane.lua DESTINATION annotations COMPONENT addin)

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

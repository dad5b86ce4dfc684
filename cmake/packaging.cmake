# What a packager ships: the i686 add-in and what script writers and host integrators read. The
# stand-in host, its runtime and the tests are development tools and are never installed.
#
#   cmake --workflow --preset package                  ->  build/win32/Orvane-<version>-win32.zip
#   cmake --install build/win32 --prefix DIR           lays out the same files in DIR

# The release module leaves its symbol table behind (a third of the size); the host needs only the
# exports. Stripped at link time, so the build, the install and the package hold the same bytes.
target_link_options(Orvane PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)

install(TARGETS Orvane RUNTIME DESTINATION . COMPONENT addin)
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

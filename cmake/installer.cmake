# The add-in as Windows Installer ships it: build/win32/orvane-fragment.wxs, a WiX fragment with the
# one component a host's installer includes, and build/win32/Orvane.msi, a standalone per-machine x86
# package around it. Both are made at build time from the module's registry scripts by the parser
# that DllRegisterServer uses (installer/orvane_wxs.cpp, built for this machine), so the registry
# rows are the registration's own. They go into the Registry table rather than SelfReg, which runs
# the module's code inside the installer, or the Class, ProgId and TypeLib tables, which put what
# registration writes elsewhere and leave part of it behind on removal (docs/integration.md).
#
# wixl (msitools) builds the MSI. It leaves the File table's Version and Language empty, so Windows
# Installer would take the module for an unversioned file, and it cannot author the RemoveRegistry
# row that deletes the class key before it is written: msibuild adds both to the MSI afterwards.

include(ExternalProject)
find_program(ORVANE_WIXL wixl REQUIRED)
find_program(ORVANE_MSIBUILD msibuild REQUIRED)
find_program(ORVANE_CLANGXX clang++ REQUIRED)

set(ORVANE_INSTALLER_DIR ${CMAKE_BINARY_DIR}/installer)
set(ORVANE_WXS_TOOL ${ORVANE_INSTALLER_DIR}/tools/orvane-wxs)
ExternalProject_Add(orvane_installer_tools
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/installer
  BINARY_DIR ${ORVANE_INSTALLER_DIR}/tools
  PREFIX ${ORVANE_INSTALLER_DIR}/tools-prefix
  CMAKE_GENERATOR Ninja
  CMAKE_CACHE_ARGS -DCMAKE_CXX_COMPILER:FILEPATH=${ORVANE_CLANGXX} -DCMAKE_BUILD_TYPE:STRING=Release
                   -DORVANE_WARNINGS:STRING=${ORVANE_WARNINGS}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${ORVANE_WXS_TOOL})

# In DllRegisterServer's order: the two REGISTRY resources, then the type library's registration.
set(ORVANE_REGISTRATION_SCRIPTS ${CMAKE_SOURCE_DIR}/addin/appid.regscript ${CMAKE_SOURCE_DIR}/addin/addin_class.regscript
  ${CMAKE_SOURCE_DIR}/installer/typelib.regscript)
set(ORVANE_FRAGMENT ${CMAKE_BINARY_DIR}/orvane-fragment.wxs)
set(product_wxs ${ORVANE_INSTALLER_DIR}/orvane-product.wxs)
set(remove_table ${ORVANE_INSTALLER_DIR}/RemoveRegistry.idt)
add_custom_command(OUTPUT ${ORVANE_FRAGMENT} ${product_wxs} ${remove_table}
  COMMAND ${ORVANE_WXS_TOOL} wxs ${PROJECT_VERSION} ${ORVANE_FRAGMENT} ${product_wxs} ${remove_table}
          -- ${ORVANE_REGISTRATION_SCRIPTS}
  DEPENDS orvane_installer_tools ${ORVANE_WXS_TOOL} ${ORVANE_REGISTRATION_SCRIPTS}
  COMMENT "The installer's sources, from the registry scripts"
  VERBATIM)

# Every resource of the module is in language 2052 (LANGUAGE 0x04, 0x02 in addin/Orvane.rc.in), and
# its file version is the project's.
set(ORVANE_MSI ${CMAKE_BINARY_DIR}/Orvane.msi)
set(unsigned_msi ${ORVANE_INSTALLER_DIR}/Orvane-unsigned.msi)
if(ORVANE_SIGNING)
  set(finish_msi COMMAND ${ORVANE_SIGN_COMMAND} -in ${unsigned_msi} -out ${ORVANE_MSI})
else()
  set(finish_msi COMMAND ${CMAKE_COMMAND} -E copy ${unsigned_msi} ${ORVANE_MSI})
endif()
add_custom_command(OUTPUT ${ORVANE_MSI}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${unsigned_msi} ${ORVANE_MSI}
  # The fragment takes Orvane.dll from the folder wixl runs in: the shipped copy's.
  COMMAND ${ORVANE_WIXL} -a x86 -o ${unsigned_msi} ${product_wxs} ${ORVANE_FRAGMENT}
  COMMAND ${ORVANE_MSIBUILD} ${unsigned_msi} -i ${remove_table}
          -q "UPDATE File SET Version = '${PROJECT_VERSION}', Language = '2052' WHERE File = 'OrvaneDll'"
          # A versioned file is compared by its version; a hash row would mark it unversioned again.
          -q "DELETE FROM MsiFileHash WHERE File_ = 'OrvaneDll'"
  ${finish_msi}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/shipped
  DEPENDS ${ORVANE_SHIPPED_DLL} ${ORVANE_FRAGMENT} ${product_wxs} ${remove_table} ${sign_inputs}
  COMMENT "Orvane.msi"
  VERBATIM)
add_custom_target(orvane_msi DEPENDS ${ORVANE_MSI} ${ORVANE_FRAGMENT})

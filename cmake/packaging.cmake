# Debian packages (make package), split as Debian splits a library: liblumodez1 (the shared
# library, named after its soname), liblumodez-dev (header, pkg-config file, CMake package,
# the unversioned link), python3-lumodez (the Python module), lumodez-tools (dezsign, its
# manual page and completion), lumodez-spki1 (the reference provider, a private plug-in of
# the library, and spki1-tool) and lumodez-spki1-dev (the provider's status codes header).
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so that the library lands in the multiarch
# folder, then run cpack.
set(LUMO_DOC_DIR ${CMAKE_CURRENT_BINARY_DIR}/doc)

# Manual pages and Debian changelogs go compressed (gzip -n: no time stamp, the same bytes
# on every build).
find_program(LUMO_GZIP gzip)
set(lumo_changelog_date "Mon, 02 Jun 2025 12:00:00 +0000")
set(lumo_maintainer "LumoDEZLib developers <lumodez@lumodez.org>")
set(lumo_compressed)
function(lumo_gzip source target)
  add_custom_command(OUTPUT ${target}
    COMMAND ${LUMO_GZIP} -9nc ${source} > ${target}
    DEPENDS ${source} VERBATIM)
  set(lumo_compressed ${lumo_compressed} ${target} PARENT_SCOPE)
endfunction()

function(lumo_package_docs component package)
  set(changelog ${LUMO_DOC_DIR}/${package}/changelog)
  file(WRITE ${changelog}
    "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- ${lumo_maintainer}  ${lumo_changelog_date}\n")
  lumo_gzip(${changelog} ${changelog}.gz)
  set(lumo_compressed ${lumo_compressed} PARENT_SCOPE)
  install(FILES ${changelog}.gz ${CMAKE_SOURCE_DIR}/packaging/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endfunction()

if(LUMO_GZIP)
  # The pages' headers name the version from project().
  foreach(page dezsign spki1-tool)
    configure_file(${CMAKE_SOURCE_DIR}/man/${page}.1 ${LUMO_DOC_DIR}/${page}.1 @ONLY)
    lumo_gzip(${LUMO_DOC_DIR}/${page}.1 ${LUMO_DOC_DIR}/${page}.1.gz)
  endforeach()
  lumo_package_docs(runtime liblumodez1)
  lumo_package_docs(dev liblumodez-dev)
  lumo_package_docs(python python3-lumodez)
  lumo_package_docs(tools lumodez-tools)
  lumo_package_docs(spki1 lumodez-spki1)
  lumo_package_docs(spki1dev lumodez-spki1-dev)
  add_custom_target(lumo_docs ALL DEPENDS ${lumo_compressed})
  install(FILES ${LUMO_DOC_DIR}/dezsign.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES ${LUMO_DOC_DIR}/spki1-tool.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT spki1)
endif()

install(FILES completion/dezsign DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  COMPONENT tools)
install(FILES completion/spki1-tool DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  COMPONENT spki1)
# Debian's folder for modules of every Python 3 version.
install(FILES python/lumodez/__init__.py python/lumodez/_capi.py python/lumodez/py.typed
  DESTINATION lib/python3/dist-packages/lumodez COMPONENT python)

# Control files get the modes Debian wants whatever the checkout's modes (a tree checked
# out with umask 002 has group-writable files, which dpkg copies into the package).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
# CPack adds ldconfig calls to the maintainer scripts of a package with a shared library in
# /usr/lib; liblumodez1 has Debian's ldconfig trigger instead, so the calls are taken out
# of the built packages.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/drop_ldconfig_calls.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumodez)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${lumo_maintainer}")
set(CPACK_PACKAGE_VENDOR "LumoDEZLib developers")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev python tools spki1 spki1dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Everything that was one package before 1.1 moved into the split packages.
set(lumo_replaces "lumodez (<< 1.1.0~)")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liblumodez1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A program built against this version needs at least this version (not exactly it).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "lumodez-spki1")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_BREAKS "${lumo_replaces}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_REPLACES "${lumo_replaces}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "signing of the exchange's XML electronic documents (library)
LumoDEZLib brings an XML document that a bank sends to the central bank
into the exchange's canonical form, has a crypto provider make a detached
CMS signature and puts the signature into the document or wraps both into
a signature envelope; it also verifies envelopes and takes the document
back out. This package holds the shared library with its C API.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME liblumodez-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "liblumodez1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_BREAKS "lumodez-dev (<< 1.1.0~)")
set(CPACK_DEBIAN_DEV_PACKAGE_REPLACES "lumodez-dev (<< 1.1.0~)")
set(CPACK_DEBIAN_DEV_DESCRIPTION "signing of the exchange's XML documents - development files
The header of LumoDEZLib's C API, its pkg-config file and its CMake package
(find_package(LumoDEZ)), for building programs that sign, wrap, verify and
unwrap the exchange's XML electronic documents.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-lumodez)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, liblumodez1 (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_BREAKS "${lumo_replaces}")
set(CPACK_DEBIAN_PYTHON_PACKAGE_REPLACES "${lumo_replaces}")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/prerm)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "signing of the exchange's XML documents - Python 3 module
The Python 3 module lumodez over LumoDEZLib's C API: sign, wrap, verify and
unwrap the exchange's XML electronic documents and check the signatures in
them, with the exceptions and types Python programs expect.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME lumodez-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "lumodez-spki1")
set(CPACK_DEBIAN_TOOLS_PACKAGE_BREAKS "${lumo_replaces}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_REPLACES "${lumo_replaces}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "signing of the exchange's XML documents - command-line tool
dezsign signs, wraps, verifies and unwraps the exchange's XML electronic
documents, checks the signatures in them and exports a signature with its
signed bytes for openssl; with its manual page and bash completion.")

set(CPACK_DEBIAN_SPKI1_PACKAGE_NAME lumodez-spki1)
set(CPACK_DEBIAN_SPKI1_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_SPKI1_PACKAGE_DEPENDS "libengine-gost-openssl")
set(CPACK_DEBIAN_SPKI1_DESCRIPTION "reference crypto provider for LumoDEZLib (GOST on OpenSSL)
libspki1.so, the crypto provider that LumoDEZLib loads when no vendor's
library is chosen (a plug-in in the library's own folder): detached CMS
signatures with GOST R 34.10-2012, RSA and ECDSA keys on OpenSSL 3 with the
GOST engine; and spki1-tool, which manages its key profiles.")

set(CPACK_DEBIAN_SPKI1DEV_PACKAGE_NAME lumodez-spki1-dev)
set(CPACK_DEBIAN_SPKI1DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SPKI1DEV_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_SPKI1DEV_PACKAGE_BREAKS "lumodez-spki1 (<< 1.1.0~)")
set(CPACK_DEBIAN_SPKI1DEV_PACKAGE_REPLACES "lumodez-spki1 (<< 1.1.0~)")
set(CPACK_DEBIAN_SPKI1DEV_DESCRIPTION "reference crypto provider for LumoDEZLib - status codes header
spki1_status.h, the status codes of the reference crypto provider, for
programs that tell its failures apart.")

include(${CMAKE_CURRENT_LIST_DIR}/spool_service.cmake)
include(CPack)

# The spool service (packaging/systemd/): the template unit, its example configurations and
# the maintainer scripts that make its system user. Carried by the package of dezsign
# (component tools, lumodez-tools); included by packaging.cmake before CPack reads its settings.
install(FILES "${CMAKE_SOURCE_DIR}/packaging/systemd/dezsign-spool@.service"
  DESTINATION lib/systemd/system COMPONENT tools)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/outgoing.conf
              ${CMAKE_SOURCE_DIR}/packaging/systemd/incoming.conf
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/lumodez-tools/examples/spool COMPONENT tools)
list(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/systemd/postinst ${CMAKE_SOURCE_DIR}/packaging/systemd/postrm)

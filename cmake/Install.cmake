# cmake --install: the client with its man page and completions (component
# "cli"), and the stand-in server on its own (component "devserver").
# cpack -G DEB makes one package of each, whose dependencies dpkg-shlibdeps
# reads from the libraries the binaries actually link.
include(GNUInstallDirs)

install(TARGETS vorn-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
install(FILES ${VORN_DOC_DIR}/vorn-cli.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
# Where bash-completion, zsh (Debian's vendor directory in fpath) and fish
# look for completions of installed packages.
install(FILES ${VORN_DOC_DIR}/bash/vorn-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT cli)
install(FILES ${VORN_DOC_DIR}/zsh/_vorn-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT cli)
install(FILES ${VORN_DOC_DIR}/fish/vorn-cli.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d COMPONENT cli)
if(TARGET vorn-devserver)
  install(TARGETS vorn-devserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT devserver)
endif()

set(CPACK_PACKAGE_NAME vorn-cli)
set(CPACK_PACKAGE_VERSION 255.255.255)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line client of the Vorn key-value server")
set(CPACK_PACKAGE_CONTACT "vorn-cli maintainers <maintainers@vorn.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli devserver)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME vorn-cli)
set(CPACK_DEBIAN_DEVSERVER_PACKAGE_NAME vorn-devserver)
set(CPACK_COMPONENT_DEVSERVER_DESCRIPTION
    "in-memory stand-in Vorn server for tests, benchmarks and demos")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

# cmake --install: the client with its man page and completions (component
# "cli"), and the stand-in server on its own (component "devserver").
# cpack -G DEB makes one package of each, whose dependencies dpkg-shlibdeps
# reads from the libraries the binaries actually link, plus those vorn-cli
# loads at run time (named below).
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

# The Debian package that ships the shared library behind the development
# link `devlink`, or `fallback` when dpkg cannot tell.
function(vorn_runtime_package out devlink fallback)
  set(pkg ${fallback})
  get_filename_component(lib "${devlink}" REALPATH)
  execute_process(COMMAND dpkg-query -S "${lib}" OUTPUT_VARIABLE owner
                  RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND owner MATCHES "^([^:,]+)")
    set(pkg ${CMAKE_MATCH_1})
  endif()
  set(${out} ${pkg} PARENT_SCOPE)
endfunction()

# vorn-cli loads OpenSSL only for --tls (src/runtime/openssl.cpp), so
# dpkg-shlibdeps does not see it; without it --tls cannot work, so the
# package depends on it. libcurl only brings the message of the day.
vorn_runtime_package(VORN_SSL_PACKAGE "${OPENSSL_SSL_LIBRARY}" libssl3)
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS ${VORN_SSL_PACKAGE})
find_library(VORN_CURL_RUNTIME NAMES libcurl.so.4 curl)
if(VORN_CURL_RUNTIME)
  vorn_runtime_package(VORN_CURL_PACKAGE "${VORN_CURL_RUNTIME}" libcurl4)
  set(CPACK_DEBIAN_CLI_PACKAGE_RECOMMENDS ${VORN_CURL_PACKAGE})
endif()
include(CPack)

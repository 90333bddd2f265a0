# The man page and the shell completions, generated from the client's own
# option and command tables by vorn-docgen at build time.
vorn_sources(DOCGEN_SRC ${CMAKE_SOURCE_DIR}/docgen/*.cpp)
add_executable(vorn-docgen ${DOCGEN_SRC})
target_include_directories(vorn-docgen PRIVATE ${CMAKE_SOURCE_DIR}/docgen)
target_link_libraries(vorn-docgen PRIVATE vorncli ${VORN_OPENSSL})

set(VORN_DOC_DIR ${CMAKE_BINARY_DIR}/docs)
# kind, file under docs/
set(VORN_DOCS
  man  vorn-cli.1
  bash bash/vorn-cli
  zsh  zsh/_vorn-cli
  fish fish/vorn-cli.fish)
set(VORN_DOC_FILES)
list(LENGTH VORN_DOCS _n)
math(EXPR _last "${_n} - 1")
foreach(_i RANGE 0 ${_last} 2)
  math(EXPR _j "${_i} + 1")
  list(GET VORN_DOCS ${_i} _kind)
  list(GET VORN_DOCS ${_j} _file)
  set(_out ${VORN_DOC_DIR}/${_file})
  get_filename_component(_dir ${_out} DIRECTORY)
  # A sanitized generator must not fail the build over its own exit-time
  # bookkeeping.
  add_custom_command(OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            $<TARGET_FILE:vorn-docgen> ${_kind} ${_out}
    DEPENDS vorn-docgen
    COMMENT "Generating ${_file}"
    VERBATIM)
  list(APPEND VORN_DOC_FILES ${_out})
endforeach()
add_custom_target(vorn-docs ALL DEPENDS ${VORN_DOC_FILES})

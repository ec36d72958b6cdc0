# fmt in header-only mode for every build. The cross compilers must not see the host's
# /usr/include, so the fmt headers are reached through a directory holding only them.
find_path(QZ_FMT_INCLUDE fmt/format.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(_qz_fmt_dir ${CMAKE_BINARY_DIR}/_deps/fmt-include)
if(NOT EXISTS ${_qz_fmt_dir}/fmt)
  file(MAKE_DIRECTORY ${_qz_fmt_dir})
  file(CREATE_LINK ${QZ_FMT_INCLUDE}/fmt ${_qz_fmt_dir}/fmt SYMBOLIC)
endif()
add_library(qz_fmt INTERFACE)
target_include_directories(qz_fmt SYSTEM INTERFACE ${_qz_fmt_dir})
target_compile_definitions(qz_fmt INTERFACE FMT_HEADER_ONLY=1)

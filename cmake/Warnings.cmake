# Options every target of the project gets: warnings (errors with SKERROW_WERROR), the sanitizers with
# SKERROW_SANITIZE, source locations in failure reports that read src/... whatever directory the build
# runs in, and, with the CP1251 keyword, windows-1251 string literals (see Charset.cmake).
function(skerrow_target_options target)
  cmake_parse_arguments(PARSE_ARGV 1 opt "CP1251" "" "")
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
                                           -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)
  if(SKERROW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(opt_CP1251)
    target_compile_options(${target} PRIVATE ${SKERROW_CP1251_FLAG})
  endif()
  if(SKERROW_SANITIZE)
    target_compile_options(${target} PRIVATE ${SKERROW_SANITIZE_FLAGS})
    target_link_options(${target} PRIVATE ${SKERROW_SANITIZE_LINK_FLAGS})
  endif()
endfunction()

# What every build of the project's code shares, whether the whole program (the top CMakeLists.txt) or the
# regular-expression engine alone (src/regex/CMakeLists.txt): the language, the switches for warnings as
# errors and the sanitizers, and skerrow_target_options.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

option(SKERROW_WERROR "Treat warnings as errors" OFF)
option(SKERROW_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

include(${CMAKE_CURRENT_LIST_DIR}/Warnings.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/Sanitizers.cmake)

# A binary records only the shared libraries whose symbols it uses: each one that the dynamic loader maps
# and relocates adds to every start of the program (libcurl alone brings some thirty of its own).
add_link_options(LINKER:--as-needed)

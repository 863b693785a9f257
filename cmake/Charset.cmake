# Every string inside the program is windows-1251: the sources are UTF-8 and the compiler turns their
# literals into windows-1251 bytes. Refuse to configure with a compiler that cannot do that, since the
# program would then silently write UTF-8 into its pages and messages.
include(CheckCXXSourceRuns)
set(CMAKE_REQUIRED_FLAGS "-fexec-charset=CP1251")
check_cxx_source_runs("
  int main() {
    const char ya[] = \"Я\";
    return (sizeof(ya) == 2 && static_cast<unsigned char>(ya[0]) == 0xDF) ? 0 : 1;
  }" SKERROW_HAS_CP1251_EXEC_CHARSET)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT SKERROW_HAS_CP1251_EXEC_CHARSET)
  message(FATAL_ERROR "The C++ compiler cannot compile string literals to windows-1251 "
                      "(-fexec-charset=CP1251). Use g++ built with iconv support.")
endif()
# Given to each target that holds windows-1251 text by skerrow_target_options(... CP1251).
set(SKERROW_CP1251_FLAG -fexec-charset=CP1251)

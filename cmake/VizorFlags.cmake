# Warnings and sanitizers shared by every target of the project.
add_library(vizor_flags INTERFACE)
target_compile_options(vizor_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wno-unused-parameter
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
if(VIZOR_WERROR)
  target_compile_options(vizor_flags INTERFACE -Werror)
endif()

if(VIZOR_SANITIZE STREQUAL "address")
  set(_vz_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(VIZOR_SANITIZE STREQUAL "thread")
  set(_vz_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT VIZOR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VIZOR_SANITIZE must be '', 'address' or 'thread'")
endif()
if(_vz_san)
  add_compile_options(${_vz_san})
  add_link_options(${_vz_san})
endif()

# Warning and sanitizer flags for the project's own targets (not for GoogleTest).
add_library(corvane_flags INTERFACE)
target_compile_options(corvane_flags INTERFACE -Wall -Wextra -Wshadow -Wnon-virtual-dtor)
if(CORVANE_WERROR)
  target_compile_options(corvane_flags INTERFACE -Werror)
endif()

if(CORVANE_SANITIZE)
  set(CORVANE_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${CORVANE_SANITIZER_FLAGS})
  add_link_options(${CORVANE_SANITIZER_FLAGS})
endif()

option(CORVANE_TSAN "Build with ThreadSanitizer (only the targets the tsan configuration lists)" OFF)
if(CORVANE_TSAN)
  set(CORVANE_TSAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${CORVANE_TSAN_FLAGS})
  add_link_options(${CORVANE_TSAN_FLAGS})
endif()

if(WIN32)
  # Windows 10 API level; gdwarf-4 so that Wine's backtraces show source lines.
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
  add_compile_options(-gdwarf-4)
endif()

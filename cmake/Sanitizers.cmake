# SPDX-License-Identifier: GPL-2.0-or-later
# OVK_SANITIZE: the whole build (plug-ins, tools, tests, fuzzers) with
# AddressSanitizer and UndefinedBehaviorSanitizer. Any undefined behaviour
# aborts instead of being reported and passed over. Meant for a build tree of
# its own (scripts/robustness.sh makes one with clang); the analyser itself
# stays uninstrumented, so a sanitized plug-in needs the sanitizer runtime
# preloaded into the program that loads it.

option(OVK_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(OVK_SANITIZE)
  set(OVK_SANITIZER_FLAGS
    -fsanitize=address,undefined
    -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
  add_compile_options(${OVK_SANITIZER_FLAGS})
  add_link_options(-fsanitize=address,undefined)
  message(STATUS "Sanitizers on: ${OVK_SANITIZER_FLAGS}")
endif()

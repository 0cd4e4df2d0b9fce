# Test helpers. Windows test programs run under Wine through CMAKE_CROSSCOMPILING_EMULATOR
# (tests/wine/run-test.sh); the prefix and the wineserver are set up by scripts/run-tests.sh.
set(VESK_DOCTEST_DIR /usr/include/doctest)
if(NOT EXISTS ${VESK_DOCTEST_DIR}/doctest.h)
  message(FATAL_ERROR "doctest.h not found in ${VESK_DOCTEST_DIR} (Debian package doctest-dev)")
endif()

function(vesk_sanitize target)
  target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(${target} PRIVATE -fsanitize=address,undefined)
endfunction()

# vesk_test(NAME SOURCES ... [LIBS ...] [SERIAL] [WINDOWS_ONLY] [TIMEOUT s] [ARGS ...] [LABELS ...] [ENV ...])
# SERIAL: the test changes the shared Wine prefix (devices, stores, registry) and runs alone.
# WINDOWS_ONLY: the program has cases that Wine cannot check (tests/support/wine_cannot.h); they
# run as a test of their own, NAME.windows_only, which CTest shows as skipped under Wine.
# A program whose every case was skipped exits with 77, CTest's skip.
# Windows test programs carry the test manifest (Windows 10 support, Common Controls 6) unless
# NO_MANIFEST. Test names are prefixed with the tree: x86.NAME, x64.NAME, native.NAME.
function(vesk_test name)
  cmake_parse_arguments(T "SERIAL;NO_MAIN;NO_MANIFEST;WINDOWS_ONLY" "TIMEOUT" "SOURCES;LIBS;ARGS;LABELS;ENV" ${ARGN})
  if(WIN32 AND NOT T_NO_MANIFEST)
    list(APPEND T_SOURCES ${PROJECT_SOURCE_DIR}/tests/support/test_program.rc)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} SYSTEM PRIVATE ${VESK_DOCTEST_DIR})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  if(NOT T_NO_MAIN)
    target_link_libraries(${name} PRIVATE vesk_doctest_main)
  endif()
  # Tests look inside: they see the library's own headers, which the programs cannot.
  target_link_libraries(${name} PRIVATE ${T_LIBS} vesk_internals vesk_test_skips)
  if(WIN32)
    # Tests call the platform directly where they check what the programs did; only the
    # programs are held to loading these by name.
    target_link_libraries(${name} PRIVATE setupapi shell32 ole32 comctl32)
  endif()
  vesk_warnings(${name})
  if(NOT WIN32)
    vesk_sanitize(${name})
  endif()
  set(test_names ${VESK_ARCH}.${name})
  if(T_WINDOWS_ONLY)
    add_test(NAME ${VESK_ARCH}.${name} COMMAND ${name} --test-suite-exclude=windows_only ${T_ARGS})
    add_test(NAME ${VESK_ARCH}.${name}.windows_only COMMAND ${name} --test-suite=windows_only ${T_ARGS})
    list(APPEND test_names ${VESK_ARCH}.${name}.windows_only)
  else()
    add_test(NAME ${VESK_ARCH}.${name} COMMAND ${name} ${T_ARGS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  foreach(test_name ${test_names})
    set_tests_properties(${test_name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${VESK_ARCH};${T_LABELS}"
                         SKIP_RETURN_CODE 77)
    if(T_SERIAL)
      set_tests_properties(${test_name} PROPERTIES RESOURCE_LOCK wineprefix)
    endif()
    if(T_ENV)
      set_tests_properties(${test_name} PROPERTIES ENVIRONMENT "${T_ENV}")
    endif()
  endforeach()
endfunction()

# vesk_include_boundary_test(NAME TARGET ALLOWED h... FORBIDDEN h...): with TARGET's include
# directories (its own and those its links give it), each ALLOWED header compiles and each
# FORBIDDEN one is not found. Proves that a program cannot reach the library's own headers.
function(vesk_include_boundary_test name target)
  cmake_parse_arguments(B "" "" "ALLOWED;FORBIDDEN" ${ARGN})
  list(JOIN B_ALLOWED "|" allowed)
  list(JOIN B_FORBIDDEN "|" forbidden)
  add_test(NAME ${VESK_ARCH}.${name}
           COMMAND ${CMAKE_COMMAND} -DCXX=${CMAKE_CXX_COMPILER}
                   "-DINCLUDES=$<JOIN:$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>,|>"
                   "-DDEFINES=$<JOIN:$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>,|>"
                   "-DALLOWED=${allowed}" "-DFORBIDDEN=${forbidden}"
                   -DWORK=${CMAKE_CURRENT_BINARY_DIR}/${name}
                   -P ${PROJECT_SOURCE_DIR}/tests/support/check-include-boundary.cmake)
  # Each probe compiles <windows.h>: on a busy machine a dozen of them take a minute or more.
  set_tests_properties(${VESK_ARCH}.${name} PROPERTIES TIMEOUT 240 LABELS ${VESK_ARCH})
endfunction()

# Release programs: stripped, unused code dropped, and the same bytes from every build of one
# commit wherever it is built (no link time stamp, no build paths, fixed file times).
if(NOT VESK_REDIST_DIR)
  message(FATAL_ERROR "VESK_RELEASE is ON but VESK_REDIST_DIR is not set: a release build carries "
                      "Microsoft's co-installers, never the test stand-ins")
endif()
add_compile_options(-ffunction-sections -fdata-sections
                    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
add_link_options(-s -Wl,--gc-sections -Wl,--no-insert-timestamp)
# The co-installers' signatures are checked with the build's own check (osslsigncode); their
# chain only against VESK_REDIST_CA when given. Only the release build's tests skip the check.
set(VESK_REDIST_CA "" CACHE FILEPATH "Microsoft's root certificates (PEM) for the co-installers' signature chain")
option(VESK_TEST_UNSIGNED_REDIST "Tests of the release build only: accept unsigned co-installer files" OFF)
# The file times the payload gives the installers and templates: the commit's time.
set(VESK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}" CACHE STRING "Seconds since 1970 for the payload's file times")
if(NOT VESK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "VESK_RELEASE needs SOURCE_DATE_EPOCH (the commit's time, seconds since 1970)")
endif()

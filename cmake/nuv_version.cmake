# nuv's version has one home, pyproject.toml. scikit-build-core passes it as
# SKBUILD_PROJECT_VERSION; a plain CMake build (fuzz/) reads it there.
if(DEFINED SKBUILD_PROJECT_VERSION)
  set(NUV_VERSION "${SKBUILD_PROJECT_VERSION}")
else()
  file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../pyproject.toml" nuv_version_line
       REGEX "^version = \"[^\"]+\"" LIMIT_COUNT 1)
  string(REGEX REPLACE "^version = \"([^\"]+)\".*" "\\1" NUV_VERSION "${nuv_version_line}")
endif()
if(NOT NUV_VERSION)
  message(FATAL_ERROR "no version found in pyproject.toml")
endif()

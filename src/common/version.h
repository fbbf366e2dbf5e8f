// nuv's own version, as pyproject.toml names it (CMakeLists.txt passes it).
#pragma once

#ifndef NUV_VERSION
#error "NUV_VERSION must name nuv's version (see cmake/nuv_version.cmake)"
#endif

namespace nuv {

inline constexpr char kNuvVersion[] = NUV_VERSION;

}  // namespace nuv

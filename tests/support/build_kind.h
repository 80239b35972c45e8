#pragma once

// Whether this test runs under a sanitizer (CMake option TWINFOLD_SANITIZE),
// which slows everything several times: a test then bounds no wall or
// processor time, and checks only that the thing happens at all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitizedBuild = true;
#elif defined(__has_feature)
#    if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool sanitizedBuild = true;
#    else
inline constexpr bool sanitizedBuild = false;
#    endif
#else
inline constexpr bool sanitizedBuild = false;
#endif

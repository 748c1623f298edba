#pragma once
// Whether this build runs under a sanitizer: several times slower, with threads
// scheduled late. An upper bound on how soon something happens is a rule of the
// product, checked in the plain build; under a sanitizer such a bound would
// measure the instrumentation, so it is left out there. Everything that can be
// awaited is awaited in both builds.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

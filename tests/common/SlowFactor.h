#pragma once

// Sanitizer builds run several times slower; timing tolerances are multiplied by kSlow.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kSlow = 3;
#else
inline constexpr int kSlow = 1;
#endif

#pragma once

// The exit status of dov-uruvivuz-drop-cache, which the program reads back through pkexec.
// Plain C++: the helper runs as root and links nothing but the C++ library.
namespace readcache::dropcacheexit {

inline constexpr int done = 0;
inline constexpr int usage = 2;
inline constexpr int refused = 3;
inline constexpr int system = 4;

}  // namespace readcache::dropcacheexit

#pragma once

// Symbols a host may use. Everything else in libtransvia.so stays hidden.
#if defined(__GNUC__)
#define TRANSVIA_API __attribute__((visibility("default")))
#else
#define TRANSVIA_API
#endif

// The framework's text formatting: its own vsnprintf/snprintf engine, which the system
// library's declarations in <cstdio> reach. The string helpers are in string_util.h.
//
// The library defines `vsnprintf` and `snprintf` (and glibc's fortified `__vsnprintf_chk` and
// `__snprintf_chk`) under those names, so every caller in a process that links it, the
// system library's and libstdc++'s own callers included, formats with this engine:
// - a null string prints "(NULL)"; "e", "E", "g" and "G" print fixed notation like "f",
//   with at most 16 fraction digits (6 by default), rounded half up from the exact value;
//   infinities and NaNs print "inf" and "nan";
// - an unknown conversion character (such as "%m") prints nothing and consumes no argument;
//   the lengths are "h", "hh", "l", "ll", "L", and "z", "j", "t" (64-bit);
// - a negative width from "*" pads nothing; the "0" flag pads with zeros after the sign
//   instead of blanks, also when left-justifying; with a precision as well, only the larger
//   of the two paddings is applied ("%08.5d" of 42 is "00042");
// - characters are stored only below `size`, the NUL at min(count, size - 1) when size > 0,
//   and the full length of the result is returned (-1 with errno EOVERFLOW beyond INT_MAX);
//   a null buffer is never written, whatever the size.
// The library's users are compiled with -fno-printf-return-value: GCC would otherwise put
// the standard's length in place of a snprintf result that it can compute.
#ifndef VFW_FORMAT_H
#define VFW_FORMAT_H

#include <cstdio>

#endif

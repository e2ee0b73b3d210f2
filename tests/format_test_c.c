/* A C caller of the system library's formatting functions, built with glibc's fortified
 * headers when optimising, as any C code linked into a program would be: its snprintf and
 * vsnprintf calls become __snprintf_chk and __vsnprintf_chk. */
#if defined(__OPTIMIZE__)
#undef _FORTIFY_SOURCE
#define _FORTIFY_SOURCE 2
#endif

#include <stdio.h>

int format_test_c_fortify_level(void) {
#if defined(__USE_FORTIFY_LEVEL)
    return __USE_FORTIFY_LEVEL;
#else
    return 0;
#endif
}

/* "%s|%e|%m|%d" of text, 1.5 and number into a local buffer copied to out. */
int format_test_c_snprintf(char* out, size_t size, const char* text, int number) {
    char local[64];
    int n = snprintf(local, sizeof local, "%s|%e|%m|%d", text, 1.5, number);
    snprintf(out, size, "%s", local);
    return n;
}

static int format_test_c_vformat(char* out, size_t size, const char* format, ...) {
    __builtin_va_list args;
    int n;
    __builtin_va_start(args, format);
    n = vsnprintf(out, size, format, args);
    __builtin_va_end(args);
    return n;
}

int format_test_c_vsnprintf(char* out, size_t size, const char* text) {
    char local[64];
    int n = format_test_c_vformat(local, sizeof local, "%s|%g", text, 2.25);
    snprintf(out, size, "%s", local);
    return n;
}

/* States `size` for a 4-byte buffer: the fortified call must abort when size exceeds 4. */
int format_test_c_overflow(size_t size) {
    char small[4];
    int n = snprintf(small, size, "%d", 12);
    return n + small[0];
}

#pragma once
// printf-style checking of a format against its arguments. mingw's "printf" archetype is
// Microsoft's, whose rules differ from the C library both builds use, so the GNU one is named.

#if defined(__GNUC__)
#define VELUNIO_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define VELUNIO_PRINTF_FORMAT(format_index, first_arg)
#endif

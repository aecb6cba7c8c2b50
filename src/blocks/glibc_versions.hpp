// The C library's functions the streams call, bound to their first
// versions: a module built on a new glibc would otherwise need the versions
// that glibc 2.32 and 2.34 gave them when libdl and libpthread moved into
// libc (the wheels promise glibc 2.28). Every glibc still has the first
// ones; they are the same functions.
#pragma once

#if defined(__GLIBC__) && defined(__x86_64__)
#define VORDA_FIRST_GLIBC "GLIBC_2.2.5"
#elif defined(__GLIBC__) && defined(__aarch64__)
#define VORDA_FIRST_GLIBC "GLIBC_2.17"
#endif

#ifdef VORDA_FIRST_GLIBC
__asm__(".symver dlopen,dlopen@" VORDA_FIRST_GLIBC);
__asm__(".symver dlsym,dlsym@" VORDA_FIRST_GLIBC);
__asm__(".symver dlclose,dlclose@" VORDA_FIRST_GLIBC);
__asm__(".symver pthread_create,pthread_create@" VORDA_FIRST_GLIBC);
__asm__(".symver pthread_join,pthread_join@" VORDA_FIRST_GLIBC);
__asm__(".symver pthread_sigmask,pthread_sigmask@" VORDA_FIRST_GLIBC);
#endif

// Link shims of the portable (wheel) build. Everything here is hidden: it
// serves the module's own objects and the static ICU linked into it, and is
// never seen by the rest of the process.

// Debian's libicuuc.a is built as position-independent executable code: its
// putil object reads glibc's `__timezone` and `tzname` PC-relative, which a
// shared object cannot resolve against libc. Only ICU's host time-zone
// detection (uprv_timezone, uprv_tzname, used by the i18n library we do not
// link) reads them, so stand-ins satisfy the link.
extern "C" {
__attribute__((visibility("hidden"))) long __timezone = 0;
__attribute__((visibility("hidden"))) char zemo_icu_utc[] = "UTC";
__attribute__((visibility("hidden"))) char* tzname[2] = {zemo_icu_utc, zemo_icu_utc};
}

// GCC 12 gave std::condition_variable::wait a new symbol version
// (GLIBCXX_3.4.30, a fix for thread cancellation, which nothing here uses).
// Every call in the module, ICU's included, lands on this definition, which
// calls the version GCC 11's libstdc++ also has: the wheel then needs no
// newer C++ runtime than manylinux_2_34 (RHEL 9 and its rebuilds) provides.
extern "C" void zemo_condition_variable_wait_3_4_11(void* cv, void* lock);
__asm__(".symver zemo_condition_variable_wait_3_4_11,"
        "_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE@GLIBCXX_3.4.11");
extern "C" __attribute__((visibility("hidden"))) void
_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE(void* cv, void* lock) {
  zemo_condition_variable_wait_3_4_11(cv, lock);
}

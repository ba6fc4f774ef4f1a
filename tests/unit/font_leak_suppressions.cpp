// LeakSanitizer's built-in suppressions for the unit test program (read only in sanitizer
// builds; LeakSanitizer calls this hook when it starts).
//
// fontconfig 2.14 loses one small block (a few hundred bytes) while parsing the machine's
// font configuration, once per process, the first time any font is looked up (here: a popup
// button's title face); the library never owns that memory.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

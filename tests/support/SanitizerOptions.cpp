// Linked into every test program, so that a leak check under the sanitizers needs no options from outside.

extern "C" const char* __lsan_default_suppressions() {
    // Leaks that are not ours: fontconfig keeps its caches for the life of the process on purpose, and Qt loads
    // it the first time a widget draws text.
    return "leak:libfontconfig.so\n";
}

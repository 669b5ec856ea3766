// Linked into the sanitizer build only. libedit's el_set(EL_ADDFN) keeps
// wide copies of the function's name and help text for the life of the
// process (its eln.c says so); they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:wcsdup\n"; }

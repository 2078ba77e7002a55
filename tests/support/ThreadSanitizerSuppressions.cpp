// Linked into the concurrent tests. libstdc++ itself is not built with ThreadSanitizer, so
// the reference count of an exception handed from one thread to another (an IOError thrown
// on a pool thread and caught by the awaiting task elsewhere) looks unsynchronised to it.
extern "C" const char* __tsan_default_suppressions() {
    return "race:std::__exception_ptr::exception_ptr::_M_release\n";
}

// Preloaded into Debian's pcscd after libasan when the end-to-end tests run
// an AddressSanitizer build of the driver: it starts the ASan runtime before
// any library's constructor runs, as an instrumented program's own start-up
// code would (-z initfirst puts this library's constructor first).
//
// Without it, pcscd (not instrumented) starts the runtime at its first
// intercepted call: a malloc inside libgpg-error's constructor, while
// bindtextdomain holds glibc's gettext lock for writing. The runtime's
// start-up calls dlerror(), which translates its message under the same lock:
// the nested read lock fails unnoticed, its unlock releases the writer's
// lock and bindtextdomain's own unlock then leaves the lock with a reader
// count of -1. The next bindtextdomain, GLib's first translated message
// inside g_bus_get_sync, then waits for ever.

extern "C" void __asan_init();

namespace {

[[gnu::constructor]] void start_asan_first()
{
    __asan_init();
}

} // namespace

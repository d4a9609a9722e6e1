// The helper's allocator settings, read by jemalloc when the program starts
// (the programs link it when the build has it; with the C library's
// allocator nothing reads this). MALLOC_CONF in the environment still
// overrides them.
//
// The helper idles most of its life between short bursts of work (a peer's
// connection, a large message, a connection coming up). Left at the
// defaults, jemalloc keeps an arena per thread group (four per processor),
// each holding the dirty pages its threads freed for ten seconds, and
// purges only when some thread allocates again: after a burst the memory
// stays. So:
//  - background_thread: a thread of the allocator purges on time, also
//    while every thread of the helper waits;
//  - dirty_decay_ms 1000, muzzy_decay_ms 0: freed pages go back to the
//    system within about a second, without the lazy "muzzy" stage whose
//    pages still count as resident until the kernel wants them;
//  - narenas 1: the helper has a handful of threads and little contention;
//    one arena holds fewer partly used pages than one per thread group;
//  - tcache false: no per-thread caches. Each thread's cache kept blocks
//    of its own (and the thread pool grows under a burst of peers), about
//    2 MB after a burst of 1,000 peers; the helper allocates far too little
//    for the caches to matter to its speed.
extern "C" {
// NOLINTNEXTLINE: the allocator looks this name up.
extern const char* const malloc_conf;
const char* const malloc_conf =
    "background_thread:true,narenas:1,dirty_decay_ms:1000,muzzy_decay_ms:0,tcache:false";
}

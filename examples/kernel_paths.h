/* The demo's one look inside the library: the kernel paths (instruction-set
 * implementations) of the tolvex it is linked with, and a switch between
 * them. The public interface has no such switch, and needs none: every path
 * computes the same bits. The demo uses it only to show exactly that.
 * Implemented in kernel_paths.cpp over the library's internal kernel table;
 * it works only where the demo is linked with the library's objects
 * themselves (the static archive), not with libtolvex.so, whose internals
 * are hidden. */
#ifndef TOLVEX_DEMO_KERNEL_PATHS_H
#define TOLVEX_DEMO_KERNEL_PATHS_H

#ifdef __cplusplus
extern "C" {
#endif

/* How many paths this CPU can run, fastest first; the last is the portable
 * baseline. */
int demo_kernel_path_count(void);
/* The name of path i ("avx512", "avx2", "baseline"). */
const char* demo_kernel_path_name(int i);
/* Makes every later forward pass use path i; -1 returns to the library's own
 * choice. Not to be called while a pass runs. */
void demo_use_kernel_path(int i);

#ifdef __cplusplus
}
#endif

#endif

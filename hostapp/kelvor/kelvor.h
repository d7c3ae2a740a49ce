/* The host's logger library: err() for the driver, and the host's own
 * controls over where lines go. */
#ifndef KELVOR_H
#define KELVOR_H
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
/* The driver's logging call: printf-style, level 8 or 32. */
int err(int32_t level, const char *format, ...);
/* Where formatted lines go; NULL restores the default (stderr). */
typedef void (*kelvor_sink)(int32_t level, const char *line, void *user);
void kelvor_set_sink(kelvor_sink sink, void *user);
/* Lines below this level are dropped (default 0: everything). */
void kelvor_set_min_level(int32_t level);
#ifdef __cplusplus
}
#endif
#endif

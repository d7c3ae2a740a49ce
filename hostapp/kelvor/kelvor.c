/* Logger library of the reference host. */
#include "kelvor.h"

#include <stdarg.h>
#include <stdio.h>

static kelvor_sink g_sink;
static void *g_user;
static int32_t g_min_level;

void kelvor_set_sink(kelvor_sink sink, void *user) {
    g_sink = sink;
    g_user = user;
}

void kelvor_set_min_level(int32_t level) { g_min_level = level; }

int err(int32_t level, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (level < g_min_level) {
        return n;
    }
    if (g_sink != NULL) {
        g_sink(level, line, g_user);
    } else {
        fprintf(stderr, "[%2d] %s\n", (int)level, line);
    }
    return n;
}

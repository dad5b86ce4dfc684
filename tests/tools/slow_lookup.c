/* A resolver that takes its time, for tests of what a slow or failing name lookup holds up. Loaded
 * with LD_PRELOAD into the Wine process, whose ws2_32 asks the system's getaddrinfo. It changes only
 * the name ORVANE_SLOW_LOOKUP_NAME; in the folder ORVANE_SLOW_LOOKUP_DIR it reads the file "delay"
 * at each lookup ("MS" waits MS milliseconds, "MS fail" then answers that the name does not exist; no
 * file, no delay) and adds one line to "lookups" when each lookup starts and one when it ends. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef int (*GetAddrInfo)(const char*, const char*, const struct addrinfo*, struct addrinfo**);

static void note(const char* dir, const char* line) {
    char path[4096];
    snprintf(path, sizeof path, "%s/lookups", dir);
    FILE* log = fopen(path, "a");
    if (log == NULL) return;
    fputs(line, log);
    fclose(log);
}

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints, struct addrinfo** res) {
    GetAddrInfo real = (GetAddrInfo)dlsym(RTLD_NEXT, "getaddrinfo");
    const char* name = getenv("ORVANE_SLOW_LOOKUP_NAME");
    const char* dir = getenv("ORVANE_SLOW_LOOKUP_DIR");
    if (node == NULL || name == NULL || dir == NULL || strcmp(node, name) != 0) {
        return real(node, service, hints, res);
    }
    char path[4096];
    snprintf(path, sizeof path, "%s/delay", dir);
    long ms = 0;
    char fail[16] = "";
    FILE* control = fopen(path, "r");
    if (control != NULL) {
        if (fscanf(control, "%ld %15s", &ms, fail) < 1) ms = 0;
        fclose(control);
    }
    note(dir, "start\n");
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {}
    note(dir, "end\n");
    if (strcmp(fail, "fail") == 0) return EAI_NONAME;
    return real(node, service, hints, res);
}

/* Preloaded (LD_PRELOAD) into every process of a whole run: at exit each one appends
 * "<pid> <VmHWM in KiB> <executable> <argv[0]>" to the file named by BENCH_PEAK_LOG.
 * GNU time reports the largest peak among the program and its children (osslsigncode,
 * msiexec); this tells the program's own apart. argv[0] names the Windows program in a
 * Wine process, whose executable is Wine's loader. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void record_peak(void) __attribute__((destructor));

static void record_peak(void)
{
    const char* log = getenv("BENCH_PEAK_LOG");
    if (log == NULL || *log == '\0')
        return;
    char exe[512];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[length > 0 ? length : 0] = '\0';

    char argv0[512] = "";
    const int cmdline = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (cmdline >= 0) {
        const ssize_t got = read(cmdline, argv0, sizeof argv0 - 1);
        argv0[got > 0 ? got : 0] = '\0'; /* the first argument ends at its own NUL */
        close(cmdline);
    }

    unsigned long long kib = 0;
    FILE* status = fopen("/proc/self/status", "r");
    if (status != NULL) {
        char line[256];
        while (fgets(line, sizeof line, status) != NULL) {
            if (strncmp(line, "VmHWM:", 6) == 0) {
                sscanf(line + 6, "%llu", &kib);
                break;
            }
        }
        fclose(status);
    }
    char record[1200];
    const int size = snprintf(record, sizeof record, "%ld %llu %s %s\n", (long)getpid(), kib, exe, argv0);
    /* One write with O_APPEND: records of concurrent processes never interleave. */
    const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (size > 0 && write(fd, record, (size_t)size) < 0) {
        /* Nothing to do: a missing record shows up as such in run.sh. */
    }
    close(fd);
}

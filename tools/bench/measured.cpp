// Runs a program with its standard output going to a file, and prints the seconds it took and
// its peak resident memory, as the kernel accounts them for the child.
//
//   vorn-bench-measured OUTPUT_FILE PROGRAM [ARGUMENTS...]

#include <cstdio>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

namespace {

double monotonicSeconds()
{
    timespec stamp;
    clock_gettime(CLOCK_MONOTONIC, &stamp);
    return double(stamp.tv_sec) + double(stamp.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: vorn-bench-measured OUTPUT_FILE PROGRAM [ARGS]\n");
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const double started = monotonicSeconds();
    pid_t child = 0;
    if (posix_spawnp(&child, argv[2], &actions, nullptr, argv + 2, environ) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    int status = 0;
    rusage usage {};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("wait4");
        return 1;
    }
    const double ended = monotonicSeconds();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "vorn-bench-measured: %s failed\n", argv[2]);
        return 1;
    }
    // ru_maxrss is in KiB on Linux.
    std::printf("seconds=%.2f\npeak_kib=%ld\n", ended - started, usage.ru_maxrss);
    return 0;
}

// Starts a program with the window watcher preloaded and prints the seconds from just before
// its exec to its first window on screen, as stamped by the watcher.
//
//   vorn-bench-launch WATCHER_LIBRARY STAMP_FILE PROGRAM [ARGUMENTS...]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

long long monotonicNs()
{
    timespec stamp;
    clock_gettime(CLOCK_MONOTONIC, &stamp);
    return static_cast<long long>(stamp.tv_sec) * 1000000000LL + stamp.tv_nsec;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: vorn-bench-launch WATCHER_LIBRARY STAMP_FILE PROGRAM [ARGS]\n");
        return 2;
    }
    const char *stampFile = argv[2];
    std::remove(stampFile);

    // The watcher goes to the child only: this launcher must stay free of Qt.
    std::vector<std::string> variables;
    for (char **variable = environ; *variable; ++variable) {
        if (std::strncmp(*variable, "LD_PRELOAD=", 11) != 0
            && std::strncmp(*variable, "VORN_BENCH_SHOWN_FILE=", 22) != 0)
            variables.emplace_back(*variable);
    }
    variables.push_back(std::string("LD_PRELOAD=") + argv[1]);
    variables.push_back(std::string("VORN_BENCH_SHOWN_FILE=") + stampFile);
    std::vector<char *> environment;
    for (std::string &variable : variables)
        environment.push_back(variable.data());
    environment.push_back(nullptr);

    const long long started = monotonicNs();
    pid_t child = 0;
    if (posix_spawn(&child, argv[3], nullptr, nullptr, argv + 3, environment.data()) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    int status = 0;
    waitpid(child, &status, 0);
    const long long ended = monotonicNs();

    FILE *file = std::fopen(stampFile, "r");
    long long shown = 0;
    char name[256] = "";
    if (!file || std::fscanf(file, "%lld\t%255s", &shown, name) < 1) {
        std::fprintf(stderr, "vorn-bench-launch: %s showed no window\n", argv[3]);
        return 1;
    }
    std::fclose(file);
    std::printf("seconds=%.4f\nexit_seconds=%.4f\nwindow=%s\n", (shown - started) / 1e9,
                (ended - started) / 1e9, name);
    return 0;
}

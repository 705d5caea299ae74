// compare_runs RUNS PROGRAM_A PROGRAM_B: runs the two programs in turn, RUNS
// times each, and prints the median, lowest and highest wall time of each in
// nanoseconds. Taking
// turns, and swapping who goes first each round, spreads any drift of the
// machine and any advantage of going first over both alike. The children get no
// console (a session of their own) and /dev/null for input and output.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

static long long run_once(const char *program)
{
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        execl(program, program, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "compare_runs: %s failed\n", program);
        std::exit(1);
    }
    return (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
}

static void print_spread(std::vector<long long> times)
{
    std::sort(times.begin(), times.end());
    std::printf("%lld %lld %lld", times[times.size() / 2], times.front(), times.back());
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: compare_runs RUNS PROGRAM_A PROGRAM_B\n");
        return 2;
    }
    int runs = std::atoi(argv[1]);
    std::vector<long long> a, b;
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) {
            a.push_back(run_once(argv[2]));
            b.push_back(run_once(argv[3]));
        } else {
            b.push_back(run_once(argv[3]));
            a.push_back(run_once(argv[2]));
        }
    }
    print_spread(a);
    std::printf(" ");
    print_spread(b);
    std::printf("\n");
    return 0;
}

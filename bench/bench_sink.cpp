// The reading end of the relay benchmarks: reads its standard input to the
// end into a buffer, as a stream extractor or the client does, and checks
// that exactly COUNT bytes came. Exit 0 when they did, 1 when not.
// Usage: bench_sink COUNT
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const long long expected = atoll(argv[1]);
    static char buffer[1 << 18];
    long long total = 0;
    for (;;) {
        const ssize_t n = read(0, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 3;
        }
        if (n == 0)
            break;
        total += n;
    }
    return total == expected ? 0 : 1;
}

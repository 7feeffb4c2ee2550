// A fast writer for the throughput benchmarks: writes COUNT bytes to its
// standard output in writes of CHUNK bytes (default 1 MiB) from one buffer
// touched up front, so that the reader on the other end is what is measured.
// With RATE (MiB/s) it keeps to that pace by spinning between writes, as a
// dump tool formatting rows between its 4 KiB writes does.
// Usage: bench_writer COUNT [CHUNK [RATE]]
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const long long total = atoll(argv[1]);
    size_t chunk = argc > 2 ? static_cast<size_t>(atoll(argv[2])) : size_t{1} << 20;
    if (total < 0 || chunk == 0)
        return 2;
    char* buffer = static_cast<char*>(malloc(chunk));
    if (buffer == nullptr)
        return 3;
    for (size_t i = 0; i < chunk; ++i)
        buffer[i] = static_cast<char>('a' + i % 26);

    const double rate = argc > 3 ? atof(argv[3]) * 1048576.0 : 0.0;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    long long left = total;
    size_t offset = 0;  // carries a partial write over into the next call
    while (left > 0) {
        size_t want = chunk - offset;
        if (static_cast<long long>(want) > left)
            want = static_cast<size_t>(left);
        const ssize_t n = write(1, buffer + offset, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 4;
        }
        left -= n;
        if (rate > 0) {
            const double due = static_cast<double>(total - left) / rate;
            for (;;) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                if (static_cast<double>(now.tv_sec - start.tv_sec) +
                        static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9 >=
                    due)
                    break;
            }
        }
        offset = (offset + static_cast<size_t>(n)) % chunk;
    }
    return 0;
}
